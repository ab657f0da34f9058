// The upgrade app's logging facade: every log line of the app goes through it to the app's
// rolling logger ("Perrow-Info-1.log" ..).
#pragma once

#include <string>

class LogUpgradeHelper {
  public:
    static LogUpgradeHelper& sharedInstance();
    // The type is accepted and not used: every line goes out with type 0.
    void writeLog(const std::string& text, long type = 0);
};
