// What tells the two app/helper pairs apart: the helper's label (also its service name and file
// name), the app it serves, its start message, its log queue, folder and file, and the name the
// helper-copy log lines use. Everything else of the scaffold is shared.
#pragma once

#include <string>

namespace helperscaffold {

struct HelperIdentity {
    std::string label;             // launchd label = service name = helper file name
    std::string clientIdentifier;  // the app allowed to install the helper
    std::string startMessage;      // written to the system log when the helper starts
    std::string loggerQueueLabel;  // HSLogger's serial queue
    std::string logFolder;         // below the local Library folder
    std::string logName;           // log file "<logName>.log" and the start header
    std::string copyName;          // the helper's name in the helper-copy log lines
};

// The domain-join pair: Ducene and Sorrel.
const HelperIdentity& domainJoinIdentity();
// The uninstall pair: Quillet and Wendle.
const HelperIdentity& uninstallIdentity();

}  // namespace helperscaffold
