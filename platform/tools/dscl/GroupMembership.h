// The dscl stand-in for the one form the product uses: adding users to the administrators'
// group, which on Linux is the first of "sudo", "wheel" and "admin" in /etc/group (its members in
// /etc/gshadow follow). Argument form:  . -merge /groups/admin GroupMembership <user>...
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace dscl {

struct Outcome {
    int status = 0;
    std::string output;
    std::string error;
};

// Runs the tool with args (argv[0] excluded).
Outcome run(const std::vector<std::string>& args);

// The group file's text with users added to the group's member list (the fourth field for
// /etc/group, also for /etc/gshadow); nothing when the group has no line.
std::optional<std::string> withMembers(const std::string& groupText, const std::string& group,
                                       const std::vector<std::string>& users);

}  // namespace dscl
