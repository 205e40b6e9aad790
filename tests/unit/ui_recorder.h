// A stand-in for the status display in unit tests: records every percent
// handed to CBasicUI::SetUpgradingProgressBar and draws nothing.
#pragma once

#include <vector>

std::vector<int>& ui_recorded_progress();
