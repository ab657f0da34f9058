#include "SysFiles.h"

#include "platform/core/FileIO.h"

namespace sysinfo {

std::optional<std::string> readText(const std::string& path, size_t maxBytes) {
    auto bytes = fileio::readFile(path, maxBytes);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

std::string trim(std::string_view text) {
    const char* ws = " \t\r\n\v\f";
    size_t b = text.find_first_not_of(ws);
    if (b == std::string_view::npos) return {};
    size_t e = text.find_last_not_of(ws);
    return std::string(text.substr(b, e - b + 1));
}

std::optional<std::string> readValue(const std::string& path) {
    auto text = readText(path);
    if (!text) return std::nullopt;
    std::string_view v(*text);
    v = v.substr(0, v.find('\n'));
    std::string t = trim(v);
    if (t.empty()) return std::nullopt;
    return t;
}

namespace {

std::optional<std::string> unquote(std::string_view v) {
    if (v.empty()) return std::string();
    char q = v.front();
    if (q != '"' && q != '\'') {
        // Unquoted values end at white space, as the shell would read them.
        return std::string(v.substr(0, v.find_first_of(" \t")));
    }
    std::string out;
    for (size_t i = 1; i < v.size(); ++i) {
        char c = v[i];
        if (c == q) return out;
        if (q == '"' && c == '\\' && i + 1 < v.size()) c = v[++i];
        out += c;
    }
    return std::nullopt;  // no closing quote
}

}  // namespace

std::map<std::string, std::string> parseKeyValueText(std::string_view text) {
    std::map<std::string, std::string> out;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string line = trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == 0 || eq == std::string::npos) continue;
        std::string key = trim(std::string_view(line).substr(0, eq));
        std::string raw = trim(std::string_view(line).substr(eq + 1));
        auto value = unquote(raw);
        if (key.empty() || !value) continue;
        out[key] = *value;
    }
    return out;
}

std::map<std::string, std::string> readKeyValueFile(const std::string& path) {
    auto text = readText(path);
    if (!text) return {};
    return parseKeyValueText(*text);
}

}  // namespace sysinfo
