// Settings in INI-style configuration files (realmd's and SSSD's): "[section]" headers and
// "key = value" lines. Edits change or add the one line they name and keep every other line,
// comments included, as it stands.
#pragma once

#include <optional>
#include <string>

namespace initext {

// The value of key in section (section names compared without regard to case); nothing when
// the section or the key is missing.
std::optional<std::string> setting(const std::string& text, const std::string& section,
                                   const std::string& key);
bool hasSection(const std::string& text, const std::string& section);

// The text with "key = value" in section: the key's first line there replaced, or a line added
// at the end of the section, or the section added at the end of the text. Nothing when the
// section, key or value would not stay one value on one line.
std::optional<std::string> withSetting(const std::string& text, const std::string& section,
                                       const std::string& key, const std::string& value);

}  // namespace initext
