// Test helpers shared by the records tests: a temporary filesystem root (RAVAVIZA_ROOT) that
// fixtures are written into and that is removed afterwards.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace recordstest {

// Other users must reach fixtures that a test reads from a process without privileges.
class TempRoot : public testsupport::TempRoot {
  public:
    TempRoot() : testsupport::TempRoot("records-test", 0755) {}
};

using testsupport::writeFile;

inline std::string readFile(const std::string& path) {
    return testsupport::readText(path);
}

// A /sys/class/net folder as the kernel lays it out: type, address, index and uevent, and for a
// hardware port the link to its backing device.
inline void addNetInterface(const TempRoot& root, const std::string& name, int index, const std::string& mac,
                            bool backed, bool wireless = false, const std::string& type = "1") {
    std::string folder = root.at("/sys/class/net/" + name);
    writeFile(folder + "/type", type + "\n");
    writeFile(folder + "/address", mac + "\n");
    writeFile(folder + "/ifindex", std::to_string(index) + "\n");
    writeFile(folder + "/uevent", "INTERFACE=" + name + "\n" + (wireless ? "DEVTYPE=wlan\n" : ""));
    if (backed) {
        std::string bus = "0000:00:" + std::to_string(10 + index) + ".0";
        std::filesystem::create_directories(root.at("/sys/devices/pci0000:00/" + bus));
        std::filesystem::create_directory_symlink("../../../devices/pci0000:00/" + bus, folder + "/device");
    }
}

// An executable script at a fixture path (a stand-in for a system tool).
inline void writeScript(const std::string& path, std::string_view body) {
    writeFile(path, body, 0755);
}

}  // namespace recordstest
