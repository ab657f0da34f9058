// The modes of the files the product's root processes write, decided here in one table: a file
// that carries a secret (a password, a ticket, an account, policy or configuration contents) is
// readable by its owner alone; every other state file stays readable by the users' apps that
// show it.
#pragma once

#include <sys/types.h>

#include <span>
#include <string_view>

namespace paths {

inline constexpr mode_t kSecretFileMode = 0600;
inline constexpr mode_t kSharedFileMode = 0644;

struct SecretFile {
    std::string_view name;     // the file name, in whichever folder its writer keeps it
    std::string_view carries;  // the secret it holds
};

// Every file written by the daemon, the report service or a helper that carries a secret.
std::span<const SecretFile> secretFiles();

// kSecretFileMode for a name in secretFiles(), kSharedFileMode for any other.
mode_t fileModeFor(std::string_view name);

}  // namespace paths
