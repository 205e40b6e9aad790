#include "tests/unit/ui_recorder.h"

#include "basicui/basicui.h"

std::vector<int>& ui_recorded_progress() {
  static std::vector<int> progress;
  return progress;
}

// Only the progress bar is defined: flash programming draws nothing else.
int CBasicUI::SetUpgradingProgressBar(int percent) {
  ui_recorded_progress().push_back(percent);
  return 0;
}
