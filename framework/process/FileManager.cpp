#include "FileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/paths/Paths.h"

namespace calix {

namespace {

// Any item counts, file or folder; a dangling symbolic link does not.
bool itemExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Joins like a path-component append: one slash between base and component.
std::string appendPathComponent(std::string base, const std::string& component) {
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (base.empty()) return component;
    if (base != "/") base += '/';
    return base + component;
}

// Failures are ignored on purpose: callers get the path and their own read or write fails.
void ensureDirectory(const std::string& path) {
    if (itemExists(path)) return;
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
}

}  // namespace

FileManager& FileManager::sharedInstance() {
    static FileManager instance;
    return instance;
}

std::string FileManager::createAppRootDirectory() {
    std::string parent = paths::usersFolder() + "/.AllUsers/RavAviza";
    ensureDirectory(parent);
    std::string root = appendPathComponent(parent, "RavAviza.EXE$");
    ensureDirectory(root);
    return root;
}

std::string FileManager::createAppUpgradeRootDirectory() {
    return createDirectoryWithName("AppUpgrade", createAppRootDirectory());
}

std::string FileManager::createAppPolicyRootDirectory() {
    return createDirectoryWithName("Policy", createAppRootDirectory());
}

std::string FileManager::createDirectoryWithName(const std::string& name, const std::string& rootDirectory) {
    std::string path = appendPathComponent(rootDirectory, name);
    ensureDirectory(path);
    return path;
}

std::optional<std::string> FileManager::createFilePath(const std::string& path) {
    if (path.empty()) return std::nullopt;
    if (itemExists(path)) return path;
    // O_EXCL with O_NOFOLLOW: a link planted at the path is never followed to make a file
    // elsewhere with root's rights.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::close(fd);
        return path;
    }
    // Another caller may have made it meanwhile; that counts as success only if it is real.
    if (errno == EEXIST && itemExists(path)) return path;
    return std::nullopt;
}

std::optional<std::string> FileManager::createFilePathWithFileName(const std::string& name,
                                                                   const std::string& directory) {
    return createFilePath(directory + "/" + name);
}

}  // namespace calix
