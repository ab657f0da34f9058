// Temporary folders for tests: a private folder under $TMPDIR (or /tmp) removed at the end, the
// same folder as the product's root (RAVAVIZA_ROOT) for the fixture's life, and an environment
// guard that restores variables as they were.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace testsupport {

// Restores the named environment variables, set or unset, when it goes out of scope.
class EnvGuard {
  public:
    explicit EnvGuard(const std::vector<std::string>& names) {
        for (const auto& name : names) {
            const char* value = ::getenv(name.c_str());
            saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
        }
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    ~EnvGuard() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// The product takes the environment's proxy; tests talk to loopback servers directly.
inline void clearProxyEnvironment() {
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
        ::unsetenv(name);
}

// Writes text to path, creating its parent folders, and gives the file mode.
inline void writeFile(const std::filesystem::path& path, std::string_view text, mode_t mode = 0644) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    ::chmod(path.c_str(), mode);
}

// logind's files under root naming user as the one signed in at the screen: seat0's active session
// and that session's user and class. more adds lines to the session file ("TYPE=x11\n").
inline void signInAtScreen(const std::string& root, std::string_view user, std::string_view sessionClass = "user",
                           std::string_view session = "c1", std::string_view more = "") {
    writeFile(root + "/run/systemd/seats/seat0", "ACTIVE=" + std::string(session) + "\n");
    writeFile(root + "/run/systemd/sessions/" + std::string(session),
              "USER=" + std::string(user) + "\nCLASS=" + std::string(sessionClass) + "\n" + std::string(more));
}

// A fresh private folder, made with mkdtemp under $TMPDIR or /tmp and removed with all it holds
// when the object ends. Mode 0755 lets processes of other users reach what a test puts there.
// Throws when no folder can be made, so a fixture never runs on an empty path.
class TempFolder {
  public:
    explicit TempFolder(std::string_view stem = "rav-test", mode_t mode = 0700) {
        const char* tmp = ::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + std::string(stem) + "-XXXXXX";
        if (::mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("mkdtemp " + templ + ": " + std::strerror(errno));
        path_ = templ;
        if (mode != 0700) ::chmod(path_.c_str(), mode);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        // A process a test started may still be writing there: try again a few times.
        std::error_code ec;
        for (int i = 0; i < 5 && std::filesystem::exists(path_, ec); ++i) std::filesystem::remove_all(path_, ec);
    }

    const std::string& path() const { return path_; }
    // The path of name inside the folder.
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
    // The path inside the folder of an absolute machine path ("/etc/x" -> "<folder>/etc/x").
    std::string at(std::string_view absolute) const { return path_ + std::string(absolute); }
    // Makes the folder name (and its parents) inside and returns its path.
    std::string makeFolder(std::string_view name) const {
        std::string dir = file(name);
        std::filesystem::create_directories(dir);
        return dir;
    }
    // Writes a file inside, creating its folders, and returns its path.
    std::string write(std::string_view name, std::string_view text, mode_t mode = 0644) const {
        std::string path = file(name);
        writeFile(path, text, mode);
        return path;
    }
    // Inside the folder as a root: user is the one signed in at the screen (see the free function).
    void signInAtScreen(std::string_view user, std::string_view sessionClass = "user", std::string_view session = "c1",
                        std::string_view more = "") const {
        testsupport::signInAtScreen(path_, user, sessionClass, session, more);
    }

  private:
    std::string path_;
};

// A temporary folder that is the product's root: RAVAVIZA_ROOT names it for the object's life and
// holds its previous value (or none) again afterwards.
class TempRoot : public TempFolder {
  public:
    explicit TempRoot(std::string_view stem = "rav-root", mode_t mode = 0700)
        : TempFolder(stem, mode), previous_({"RAVAVIZA_ROOT"}) {
        ::setenv("RAVAVIZA_ROOT", path().c_str(), 1);
    }

  private:
    EnvGuard previous_;
};

}  // namespace testsupport
