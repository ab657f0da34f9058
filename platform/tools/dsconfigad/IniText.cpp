#include "IniText.h"

#include <cctype>
#include <cstddef>
#include <utility>
#include <vector>

#include "platform/core/LineText.h"

namespace initext {

namespace {

std::string trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The section a header line opens; nothing for other lines.
std::optional<std::string> headerOf(const std::string& line) {
    const std::string t = trimmed(line);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
    return trimmed(t.substr(1, t.size() - 2));
}

// The key of a "key = value" line; nothing for comments, blanks and headers.
std::optional<std::string> keyOf(const std::string& line) {
    const std::string t = trimmed(line);
    if (t.empty() || t[0] == '#' || t[0] == ';' || t[0] == '[') return std::nullopt;
    const size_t eq = t.find('=');
    if (eq == std::string::npos) return std::nullopt;
    return trimmed(t.substr(0, eq));
}

// The index range [first, last) of the section's lines after its header; nothing when missing.
std::optional<std::pair<size_t, size_t>> sectionRange(const std::vector<std::string>& all,
                                                      const std::string& section) {
    for (size_t i = 0; i < all.size(); ++i) {
        std::optional<std::string> header = headerOf(all[i]);
        if (!header || !sameName(*header, section)) continue;
        size_t end = i + 1;
        while (end < all.size() && !headerOf(all[end])) ++end;
        return std::make_pair(i + 1, end);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> setting(const std::string& text, const std::string& section,
                                   const std::string& key) {
    const std::vector<std::string> all = linetext::splitLines(text);
    auto range = sectionRange(all, section);
    if (!range) return std::nullopt;
    for (size_t i = range->first; i < range->second; ++i) {
        if (keyOf(all[i]) == key) return trimmed(all[i].substr(all[i].find('=') + 1));
    }
    return std::nullopt;
}

bool hasSection(const std::string& text, const std::string& section) {
    return sectionRange(linetext::splitLines(text), section).has_value();
}

std::optional<std::string> withSetting(const std::string& text, const std::string& section,
                                       const std::string& key, const std::string& value) {
    if (section.empty() || key.empty() || !linetext::lineSafe(section) || !linetext::lineSafe(key) ||
        !linetext::lineSafe(value) || section.find_first_of("[]") != std::string::npos ||
        key.find_first_of("=[#;") != std::string::npos || trimmed(key) != key) {
        return std::nullopt;
    }
    const std::string entry = key + " = " + value;
    std::vector<std::string> all = linetext::splitLines(text);
    if (auto range = sectionRange(all, section)) {
        bool replaced = false;
        for (size_t i = range->first; i < range->second && !replaced; ++i) {
            if (keyOf(all[i]) == key) {
                all[i] = entry;
                replaced = true;
            }
        }
        if (!replaced) {
            // After the section's last line that is not blank.
            size_t at = range->second;
            while (at > range->first && trimmed(all[at - 1]).empty()) --at;
            all.insert(all.begin() + static_cast<std::ptrdiff_t>(at), entry);
        }
    } else {
        if (!all.empty() && !trimmed(all.back()).empty()) all.emplace_back();
        all.push_back("[" + section + "]");
        all.push_back(entry);
    }
    std::string out;
    for (const std::string& line : all) out += line + "\n";
    return out;
}

}  // namespace initext
