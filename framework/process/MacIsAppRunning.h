// Whether a program of a given name runs for the calling process's user.
#pragma once

#include <string>

namespace calix {

class MacIsAppRunning {
  public:
    static MacIsAppRunning& sharedInstance();

    // True when a live process with exactly this name runs under the calling process's
    // effective user. The two differ only in name: a root process asks about root's processes.
    static bool isUserAppRunning(const std::string& name);
    static bool isRootAppRunning(const std::string& name);

  private:
    MacIsAppRunning() = default;
};

}  // namespace calix
