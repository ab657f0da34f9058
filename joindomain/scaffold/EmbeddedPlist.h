// Property lists a helper program carries inside its own executable, in ELF sections of their own:
// its info list ("__info_plist": identifier, name, version, the apps allowed to install it) and
// its launchd job list ("__launchd_plist": label and service name). The app reads the version of
// both helper copies from here, and the installer the job from here.
#pragma once

#include <optional>
#include <string>

#include "platform/archive/Value.h"

namespace helperscaffold {

inline constexpr const char* kInfoPlistSection = "__info_plist";
inline constexpr const char* kLaunchdPlistSection = "__launchd_plist";

// The property list in the named section of an ELF executable; nothing when the file is missing,
// is no ELF file, lacks the section or the section holds no property list.
std::optional<archive::Value> embeddedPlist(const std::string& executable, const std::string& section);

// The info list's CFBundleShortVersionString; nothing when it is missing.
std::optional<std::string> embeddedVersion(const std::string& executable);

}  // namespace helperscaffold

// Embeds a helper's two lists. Use once, at namespace scope, in the helper's program.
#define HELPERSCAFFOLD_EMBED_PLISTS(label, version, clientIdentifier)                                        \
    extern "C" __attribute__((used, retain, section("__info_plist"))) const char helperscaffoldInfoPlist[] = \
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"                          \
        "<key>CFBundleIdentifier</key><string>" label                                                        \
        "</string>"                                                                                          \
        "<key>CFBundleName</key><string>" label                                                              \
        "</string>"                                                                                          \
        "<key>CFBundleInfoDictionaryVersion</key><string>6.0</string>"                                       \
        "<key>CFBundleShortVersionString</key><string>" version                                              \
        "</string>"                                                                                          \
        "<key>CFBundleVersion</key><string>" version                                                         \
        "</string>"                                                                                          \
        "<key>SMAuthorizedClients</key><array><string>identifier \"" clientIdentifier                        \
        "\"</string></array></dict></plist>\n";                                                              \
    extern "C" __attribute__((used, retain, section("__launchd_plist")))                                     \
    const char helperscaffoldLaunchdPlist[] =                                                                \
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"                          \
        "<key>Label</key><string>" label                                                                     \
        "</string>"                                                                                          \
        "<key>MachServices</key><dict><key>" label "</key><true/></dict></dict></plist>\n"
