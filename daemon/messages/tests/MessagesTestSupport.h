// Fixtures of the message tests: a temporary root with a console user, interfaces and an app
// bundle version, and helpers that take a built request apart.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/records/support/RecordsTestSupport.h"
#include "common/account/AccountModel.h"
#include "platform/archive/Plist.h"
#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "proto/ZemRequest.h"
#include "platform/sysinfo/NetInterfaces.h"

namespace messagestest {

inline sysinfo::InterfaceAddress ipv4(const std::string& name, const std::string& address,
                                      const std::string& mask = "255.255.255.0") {
    sysinfo::InterfaceAddress e;
    e.name = name;
    e.up = true;
    e.hasAddress = true;
    e.family = sysinfo::AddressFamily::IPv4;
    e.address = address;
    e.netmask = mask;
    return e;
}

inline void setClientVersion(const std::string& version) {
    std::filesystem::create_directories(paths::uiAppBundle() + "/Contents");
    archive::writePlistFile(archive::Dictionary{{"CFBundleVersion", version}},
                            paths::uiAppBundle() + "/Contents/Info.plist");
}

// Makes root the console user (logind's seat data) with its home under the fixture root.
inline void signInRoot(const recordstest::TempRoot& root) {
    recordstest::writeFile(root.at("/run/systemd/seats/seat0"), "ACTIVE=c1\n");
    recordstest::writeFile(root.at("/run/systemd/sessions/c1"), "USER=root\nCLASS=user\n");
    std::filesystem::create_directories(root.at("/root"));
}

// The root message of a built request as the server receives it.
inline ZemV5Root builtRoot(zem::ZemRequest& request) {
    request.generateMsgHead();
    request.generateMsgBody();
    ZemV5Root root;
    if (request.buildData()) root.ParseFromString(request.data());
    return root;
}

}  // namespace messagestest
