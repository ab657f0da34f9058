// The dscl stand-in for the one form the product uses: giving directory users administrator
// rights, which on Linux is membership of the first of "sudo", "wheel" and "admin" that
// /etc/group holds. Only accounts SSSD serves (`getent -s sss passwd USER`) are added, never a
// local account, and the system's own gpasswd makes the change, under the shadow files' locks.
// Argument form:  . -merge /groups/admin GroupMembership <user>...
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace dscl {

inline constexpr std::chrono::milliseconds kToolDeadline{30'000};

struct Outcome {
    int status = 0;
    std::string output;
    std::string error;
};

// Runs the tool with args (argv[0] excluded).
Outcome run(const std::vector<std::string>& args);

// The first of the administrators' groups that the group file's text holds; nothing when none.
std::optional<std::string> administratorsGroup(const std::string& groupText);

}  // namespace dscl
