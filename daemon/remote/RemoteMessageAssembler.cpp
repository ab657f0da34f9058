#include "RemoteMessageAssembler.h"

#include <algorithm>
#include <cctype>

namespace hollin {

namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kLengthLabel = "content-length:";

bool startsWithLabel(std::string_view line) {
    if (line.size() < kLengthLabel.size()) return false;
    for (size_t i = 0; i < kLengthLabel.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != kLengthLabel[i]) return false;
    }
    return true;
}

}  // namespace

std::optional<size_t> RemoteMessageAssembler::contentLength(std::string_view header) {
    std::optional<size_t> found;
    size_t pos = 0;
    while (pos <= header.size()) {
        size_t end = header.find("\r\n", pos);
        if (end == std::string_view::npos) end = header.size();
        const std::string_view line = header.substr(pos, end - pos);
        pos = end + 2;
        if (!startsWithLabel(line)) continue;
        std::string_view value = line.substr(kLengthLabel.size());
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
            value.remove_suffix(1);
        }
        if (value.empty() || value.size() > 9) return std::nullopt;
        size_t length = 0;
        for (const char c : value) {
            if (c < '0' || c > '9') return std::nullopt;
            length = length * 10 + static_cast<size_t>(c - '0');
        }
        if (length > kMaxBodyLength || (found && *found != length)) return std::nullopt;
        found = length;
    }
    return found.value_or(0);
}

bool RemoteMessageAssembler::append(std::string_view chunk, std::vector<std::string>& out) {
    if (broken_) return false;
    buffer_.append(chunk);
    for (;;) {
        const std::string_view rest = std::string_view(buffer_).substr(consumed_);
        if (!totalLength_) {
            const size_t end = rest.find(kHeaderEnd);
            if (end == std::string_view::npos) {
                if (rest.size() > kMaxHeaderLength + kHeaderEnd.size()) break;
                compact();
                return true;
            }
            if (end > kMaxHeaderLength) break;
            const auto body = contentLength(rest.substr(0, end));
            if (!body) break;
            totalLength_ = end + kHeaderEnd.size() + *body;
        }
        if (rest.size() < *totalLength_) {
            compact();
            return true;
        }
        out.emplace_back(rest.substr(0, *totalLength_));
        consumed_ += *totalLength_;
        totalLength_.reset();
    }
    broken_ = true;
    buffer_.clear();
    consumed_ = 0;
    totalLength_.reset();
    return false;
}

void RemoteMessageAssembler::compact() {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
}

void RemoteMessageAssembler::reset() {
    buffer_.clear();
    consumed_ = 0;
    totalLength_.reset();
    broken_ = false;
}

}  // namespace hollin
