#include "MacIsAppRunning.h"

#include <unistd.h>

#include "platform/process/ProcessList.h"

namespace calix {

MacIsAppRunning& MacIsAppRunning::sharedInstance() {
    static MacIsAppRunning instance;
    return instance;
}

bool MacIsAppRunning::isUserAppRunning(const std::string& name) {
    return !proclist::processesNamed(name, ::geteuid()).empty();
}

bool MacIsAppRunning::isRootAppRunning(const std::string& name) {
    return isUserAppRunning(name);
}

}  // namespace calix
