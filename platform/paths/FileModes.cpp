#include "FileModes.h"

#include <array>

namespace paths {

namespace {

constexpr std::array kSecretFiles{
    SecretFile{"joindomainInfo.archive", "the domain administrator's account and password"},
    SecretFile{"config.archive", "the server's configuration values"},
    SecretFile{"RavAviza.sqlite", "policy contents, keyed by the row's own fields"},
    SecretFile{"login.archive", "the signed-in user's ticket"},
    SecretFile{"ZemDebug.data", "the debug-log upload's server account"},
};

}  // namespace

std::span<const SecretFile> secretFiles() {
    return kSecretFiles;
}

mode_t fileModeFor(std::string_view name) {
    for (const SecretFile& file : kSecretFiles)
        if (file.name == name) return kSecretFileMode;
    return kSharedFileMode;
}

}  // namespace paths
