// The status display: one method per screen.
#pragma once

class CBasicUI {
 public:
  CBasicUI() = default;
  ~CBasicUI() = default;

  int Init();
  void Deinit();
  void ShowVersion();
  int SetUpgradingProgressBar(int percent);
  void DispNoticeInfo(const char* text);
  int ShowUpgradingFailedInfo(const char* message, int id);
  int ShowUpgradingFailedInfoWithID(const char* message, int id);
  int ShowUpgradingAutop2FailedInfoWithID(int id, int count);
  int ShowUpgradingExtFailed();
  int ShowUpgradingExtInfo(int count);
  int ShowUpgradedExtInfo(int count);
  void ShowInfo(const char* const* texts, int count);
  int OpenUserSetting(char* user, int user_len, char* passwd, int passwd_len);
  int GetKeyPressed();
};
