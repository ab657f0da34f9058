// A folder below a user's home that root works in through the folder's descriptor. The folder is
// reached component by component without following links, each component a directory of that
// user, so swapping a component for a link (even in a loop, racing root) never sends root's
// reads, writes or removals elsewhere: once open, every operation is relative to the descriptor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fileio {

class UserFolder {
  public:
    struct Owner {
        uid_t uid = 0;
        gid_t gid = 0;
    };

    // Opens home (a directory of owner, not a link) and then each component below it. Every
    // component must be a plain name and a directory of owner. With create, a missing component is
    // made (mode 0755) and, when root runs this for another user, handed to the owner. Nothing when
    // any step fails.
    static std::optional<UserFolder> open(const std::string& home, const std::vector<std::string>& components,
                                          Owner owner, bool create);

    UserFolder(UserFolder&& other) noexcept;
    UserFolder& operator=(UserFolder&& other) noexcept;
    UserFolder(const UserFolder&) = delete;
    UserFolder& operator=(const UserFolder&) = delete;
    ~UserFolder();

    int fd() const { return fd_; }
    const Owner& owner() const { return owner_; }

    // Whether the folder holds an entry of that name (a link counts; it is not followed).
    bool contains(const std::string& name) const;
    // A regular file of the folder's owner, not a link, at most maxBytes; nothing otherwise.
    std::optional<std::vector<uint8_t>> readFile(const std::string& name, size_t maxBytes) const;
    // Writes a temporary file in the folder, syncs it, gives it to the owner (when root writes for
    // another user) and renames it over name. False, with nothing left behind, on any failure.
    [[nodiscard]] bool writeFileAtomically(const std::string& name, std::span<const uint8_t> bytes,
                                           mode_t mode) const;
    // Removes the entry name (a link is removed, never its target; a directory is refused).
    // True when an entry was removed.
    bool removeFile(const std::string& name) const;

    // A name that stays inside a folder: not empty, not "." or "..", no "/".
    static bool plainName(const std::string& name);

  private:
    UserFolder(int fd, Owner owner) : fd_(fd), owner_(owner) {}
    int fd_ = -1;
    Owner owner_;
};

}  // namespace fileio
