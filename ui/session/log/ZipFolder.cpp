#include "ZipFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace logexport {
namespace {

constexpr size_t kChunk = 256 * 1024;

std::string errnoText(int e) {
    return std::strerror(e);
}

// The names in a folder opened as fd, sorted so archives come out the same each time.
std::optional<std::vector<std::string>> listFolder(int fd) {
    int dupFd = ::dup(fd);
    if (dupFd < 0) return std::nullopt;
    DIR* dir = ::fdopendir(dupFd);
    if (!dir) {
        ::close(dupFd);
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

zip_fileinfo infoFor(const struct stat& st) {
    zip_fileinfo info{};
    struct tm t {};
    time_t when = st.st_mtime;
    ::localtime_r(&when, &t);
    info.tmz_date.tm_sec = static_cast<uInt>(t.tm_sec);
    info.tmz_date.tm_min = static_cast<uInt>(t.tm_min);
    info.tmz_date.tm_hour = static_cast<uInt>(t.tm_hour);
    info.tmz_date.tm_mday = static_cast<uInt>(t.tm_mday);
    info.tmz_date.tm_mon = static_cast<uInt>(t.tm_mon);
    info.tmz_date.tm_year = static_cast<uInt>(t.tm_year + 1900);
    info.external_fa = static_cast<uLong>(st.st_mode & 0xFFFF) << 16;
    return info;
}

struct ZipWriter {
    zipFile zf = nullptr;
    dev_t archiveDev = 0;
    ino_t archiveIno = 0;
    ZipOutcome* outcome = nullptr;

    bool addDirectoryEntry(const std::string& entryName, const struct stat& st) {
        zip_fileinfo info = infoFor(st);
        const std::string name = entryName + "/";
        if (zipOpenNewFileInZip64(zf, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, 0, 0, 0) !=
            ZIP_OK) {
            outcome->error = "cannot add " + name + " to the archive";
            return false;
        }
        if (zipCloseFileInZip(zf) != ZIP_OK) {
            outcome->error = "cannot finish " + name + " in the archive";
            return false;
        }
        return true;
    }

    // A file that cannot be opened is skipped; one that fails mid-read or a failed archive write
    // ends the archive with an error.
    bool addFile(int parentFd, const std::string& name, const std::string& entryName) {
        int fd = ::openat(parentFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            outcome->skipped.push_back(entryName + ": " + errnoText(errno));
            return true;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            outcome->skipped.push_back(entryName + ": not a regular file");
            return true;
        }
        zip_fileinfo info = infoFor(st);
        const int zip64 = st.st_size >= 0xFFFFFFFFLL ? 1 : 0;
        if (zipOpenNewFileInZip64(zf, entryName.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                  Z_DEFAULT_COMPRESSION, zip64) != ZIP_OK) {
            ::close(fd);
            outcome->error = "cannot add " + entryName + " to the archive";
            return false;
        }
        std::unique_ptr<char[]> buffer(new char[kChunk]);
        bool ok = true;
        for (;;) {
            ssize_t n = ::read(fd, buffer.get(), kChunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                outcome->error = "reading " + entryName + " failed: " + errnoText(errno);
                ok = false;
                break;
            }
            if (n == 0) break;
            if (zipWriteInFileInZip(zf, buffer.get(), static_cast<unsigned>(n)) != ZIP_OK) {
                outcome->error = "writing the archive failed at " + entryName;
                ok = false;
                break;
            }
        }
        ::close(fd);
        if (zipCloseFileInZip(zf) != ZIP_OK && ok) {
            outcome->error = "cannot finish " + entryName + " in the archive";
            ok = false;
        }
        if (ok) ++outcome->files;
        return ok;
    }

    // Walks a folder through descriptors only, so a link swapped in mid-walk is never followed.
    bool addFolder(int fd, const std::string& prefix, bool topLevel, int depth) {
        if (depth > 64) {
            outcome->skipped.push_back(prefix + ": nested too deeply");
            return true;
        }
        auto names = listFolder(fd);
        if (!names) {
            outcome->skipped.push_back(prefix + ": cannot be listed");
            return true;
        }
        for (const std::string& name : *names) {
            if (topLevel && name.front() == '.') continue;
            const std::string entryName = prefix.empty() ? name : prefix + "/" + name;
            struct stat st {};
            if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                outcome->skipped.push_back(entryName + ": " + errnoText(errno));
                continue;
            }
            if (st.st_dev == archiveDev && st.st_ino == archiveIno) continue;
            if (S_ISDIR(st.st_mode)) {
                int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub < 0) {
                    outcome->skipped.push_back(entryName + ": " + errnoText(errno));
                    continue;
                }
                bool ok = addDirectoryEntry(entryName, st) && addFolder(sub, entryName, false, depth + 1);
                ::close(sub);
                if (!ok) return false;
            } else if (S_ISREG(st.st_mode)) {
                if (!addFile(fd, name, entryName)) return false;
            } else {
                outcome->skipped.push_back(entryName +
                                           (S_ISLNK(st.st_mode) ? ": a link" : ": not a regular file"));
            }
        }
        return true;
    }
};

}  // namespace

ZipOutcome zipFolder(const std::string& folder, const std::string& archivePath) {
    ZipOutcome outcome;
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        outcome.error = folder + ": " + errnoText(errno);
        return outcome;
    }
    std::string temp = archivePath + ".tmp.XXXXXX";
    int tfd = ::mkstemp(temp.data());
    if (tfd < 0) {
        outcome.error = archivePath + ": " + errnoText(errno);
        ::close(fd);
        return outcome;
    }
    struct stat tst {};
    ::fstat(tfd, &tst);
    ::close(tfd);

    ZipWriter writer;
    writer.outcome = &outcome;
    writer.archiveDev = tst.st_dev;
    writer.archiveIno = tst.st_ino;
    writer.zf = zipOpen64(temp.c_str(), APPEND_STATUS_CREATE);
    bool ok = writer.zf != nullptr;
    if (!ok) outcome.error = archivePath + ": cannot be created";
    if (ok) ok = writer.addFolder(fd, "", true, 0);
    ::close(fd);
    if (writer.zf && zipClose(writer.zf, nullptr) != ZIP_OK && ok) {
        outcome.error = archivePath + ": writing the archive failed";
        ok = false;
    }
    if (ok) {
        int sfd = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC);
        if (sfd >= 0) {
            ::fsync(sfd);
            ::close(sfd);
        }
        if (::rename(temp.c_str(), archivePath.c_str()) != 0) {
            outcome.error = archivePath + ": " + errnoText(errno);
            ok = false;
        }
    }
    if (!ok) ::unlink(temp.c_str());
    return outcome;
}

}  // namespace logexport
