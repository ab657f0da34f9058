#include "proto/ZemRequest.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <vector>

namespace zem {

namespace {

// The login name of the effective user, "" when the password database does not know it.
std::string processUserName() {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_name)
        return {};
    return found->pw_name;
}

}  // namespace

void ZemRequest::generateMsgHead() {
    Head head;
    if (std::string name = processUserName(); !name.empty()) head.set_username(name);
    *root_.mutable_msghead() = std::move(head);
}

bool ZemRequest::buildData() {
    data_.clear();
    // The library refuses messages over 2 GiB; checking first keeps that a plain false.
    if (root_.ByteSizeLong() > static_cast<size_t>(INT_MAX)) return false;
    return root_.SerializeToString(&data_);
}

}  // namespace zem
