// Small readers for the text files of /proc, /sys, /etc and /run that the facts come from.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace sysinfo {

// The whole file as text (at most maxBytes); nothing when missing, unreadable or larger.
std::optional<std::string> readText(const std::string& path, size_t maxBytes = 64 * 1024);

// The first line of a file with surrounding white space removed; nothing when empty or unreadable.
std::optional<std::string> readValue(const std::string& path);

std::string trim(std::string_view text);

// KEY=value lines as in os-release, machine-info and the logind state files. Values may be quoted
// with "..." (backslash escapes) or '...'; comment and malformed lines are skipped.
std::map<std::string, std::string> parseKeyValueText(std::string_view text);
std::map<std::string, std::string> readKeyValueFile(const std::string& path);

}  // namespace sysinfo
