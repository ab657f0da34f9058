// Test helpers shared by the records tests: a temporary filesystem root (RAVAVIZA_ROOT) that
// fixtures are written into and that is removed afterwards.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace recordstest {

class TempRoot {
  public:
    TempRoot() {
        std::string tmpl = "/tmp/records-test-XXXXXX";
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
        // Other users must reach fixtures that a test reads from a process without privileges.
        ::chmod(path_.c_str(), 0755);
        ::setenv("RAVAVIZA_ROOT", path_.c_str(), 1);
    }
    ~TempRoot() {
        ::unsetenv("RAVAVIZA_ROOT");
        std::error_code ec;
        for (int i = 0; i < 5 && std::filesystem::exists(path_, ec); ++i)
            std::filesystem::remove_all(path_, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return path_; }
    // The fixture path of an absolute machine path.
    std::string at(std::string_view absolute) const { return path_ + std::string(absolute); }

  private:
    std::string path_;
};

inline void writeFile(const std::string& path, std::string_view content, mode_t mode = 0644) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    ::chmod(path.c_str(), mode);
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
