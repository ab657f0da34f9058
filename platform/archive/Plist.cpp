#include "Plist.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "PlistNode.h"
#include "platform/core/FileIO.h"

namespace archive {
namespace detail {

namespace {

void setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

// Walks the object graph of a binary plist from its trailer, without building anything, to
// bound what libplist would build: depth, nodes after expanding shared references, cycles,
// and every offset, count and reference inside the object area.
class BinaryShape {
  public:
    BinaryShape(std::span<const uint8_t> bytes, const ShapeLimits& limits) : b_(bytes), limits_(limits) {}

    bool check(std::string* error) {
        if (b_.size() < 8 + 32) return fail(error, "truncated binary property list");
        const uint8_t* t = b_.data() + b_.size() - 32;
        offSize_ = t[6];
        refSize_ = t[7];
        numObjects_ = be(t + 8, 8);
        uint64_t top = be(t + 16, 8);
        tableOffset_ = be(t + 24, 8);
        if (offSize_ < 1 || offSize_ > 8 || refSize_ < 1 || refSize_ > 8)
            return fail(error, "malformed binary property list trailer");
        uint64_t trailerStart = b_.size() - 32;
        if (numObjects_ == 0 || top >= numObjects_ || tableOffset_ < 8 || tableOffset_ > trailerStart ||
            numObjects_ > (trailerStart - tableOffset_) / offSize_)
            return fail(error, "malformed binary property list trailer");
        if (numObjects_ > limits_.maxNodes) return fail(error, "property list has too many values");
        state_.assign(numObjects_, 0);
        nodes_.assign(numObjects_, 0);
        height_.assign(numObjects_, 0);
        if (!visit(top, 1)) return fail(error, error_);
        return true;
    }

  private:
    static uint64_t be(const uint8_t* p, size_t n) {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
        return v;
    }

    bool fail(std::string* error, std::string text) {
        setError(error, std::move(text));
        return false;
    }
    bool bad(const char* text) {
        error_ = text;
        return false;
    }

    // Reads the element count of a string, data or container marker at pos; advances pos past it.
    bool count(uint64_t& pos, uint8_t low, uint64_t& n) {
        if (low != 0xF) {
            n = low;
            return true;
        }
        if (pos >= tableOffset_) return bad("malformed binary property list");
        uint8_t m = b_[pos++];
        if ((m & 0xF0) != 0x10 || (m & 0x0F) > 3) return bad("malformed binary property list");
        size_t len = size_t{1} << (m & 0x0F);
        if (len > tableOffset_ - pos) return bad("malformed binary property list");
        n = be(b_.data() + pos, len);
        pos += len;
        return true;
    }

    // libplist 2.2 asserts (aborts) when a string it returns is shorter than its recorded
    // length, as one with a NUL inside is.
    bool hasNul(uint64_t pos, uint64_t n, size_t unit) const {
        for (uint64_t i = 0; i < n; ++i) {
            const uint8_t* c = b_.data() + pos + i * unit;
            if (c[0] == 0 && (unit == 1 || c[1] == 0)) return true;
        }
        return false;
    }

    bool within(uint64_t pos, uint64_t n, uint64_t unit) const {
        return pos <= tableOffset_ && n <= (tableOffset_ - pos) / unit;
    }

    bool visit(uint64_t index, size_t depth) {
        if (state_[index] == 2) {
            if (depth + height_[index] - 1 > limits_.maxDepth) return bad("property list nested too deeply");
            return true;
        }
        if (state_[index] == 1) return bad("cyclic property list");
        uint64_t off = be(b_.data() + tableOffset_ + index * offSize_, offSize_);
        if (off < 8 || off >= tableOffset_) return bad("malformed binary property list");
        uint64_t pos = off + 1;
        uint8_t marker = b_[off];
        uint8_t type = marker >> 4, low = marker & 0x0F;
        uint64_t n = 0;
        uint64_t nodes = 1;
        uint32_t height = 0;  // container levels at and below this object
        switch (type) {
            case 0x0:
                if (low != 0x0 && low != 0x8 && low != 0x9) return bad("malformed binary property list");
                break;
            case 0x1:
                if (low > 4 || !within(pos, uint64_t{1} << low, 1))
                    return bad("malformed binary property list");
                break;
            case 0x2:
                if (low < 2 || low > 3 || !within(pos, uint64_t{1} << low, 1))
                    return bad("malformed binary property list");
                break;
            case 0x3:
                if (low != 3 || !within(pos, 8, 1)) return bad("malformed binary property list");
                break;
            case 0x4:
            case 0x5:
            case 0x6:
                if (!count(pos, low, n) || !within(pos, n, type == 0x6 ? 2 : 1))
                    return bad("malformed binary property list");
                if (type != 0x4 && hasNul(pos, n, type == 0x6 ? 2 : 1))
                    return bad("string contains a NUL character");
                break;
            case 0x8:
                if (!within(pos, low + 1u, 1)) return bad("malformed binary property list");
                break;
            case 0xA:
            case 0xC:
            case 0xD: {
                if (depth > limits_.maxDepth) return bad("property list nested too deeply");
                if (!count(pos, low, n)) return false;
                uint64_t refs = n;
                if (type == 0xD) {
                    if (n > std::numeric_limits<uint64_t>::max() / 2)
                        return bad("malformed binary property list");
                    refs = 2 * n;
                }
                if (!within(pos, refs, refSize_)) return bad("malformed binary property list");
                state_[index] = 1;
                height = 1;
                for (uint64_t i = 0; i < refs; ++i) {
                    uint64_t child = be(b_.data() + pos + i * refSize_, refSize_);
                    if (child >= numObjects_) return bad("malformed binary property list");
                    if (!visit(child, depth + 1)) return false;
                    nodes += nodes_[child];
                    if (nodes > limits_.maxNodes) return bad("property list has too many values");
                    height = std::max<uint32_t>(height, height_[child] + 1);
                }
                break;
            }
            default:
                return bad("unsupported binary property list object");
        }
        state_[index] = 2;
        nodes_[index] = nodes;
        height_[index] = height;
        return true;
    }

    std::span<const uint8_t> b_;
    ShapeLimits limits_;
    uint8_t offSize_ = 0, refSize_ = 0;
    uint64_t numObjects_ = 0, tableOffset_ = 0;
    std::vector<uint8_t> state_;  // 0 unseen, 1 on the current path, 2 done
    std::vector<uint64_t> nodes_;
    std::vector<uint32_t> height_;
    std::string error_;
};

bool startsWith(std::string_view s, size_t at, std::string_view prefix) {
    return s.size() - at >= prefix.size() && s.compare(at, prefix.size(), prefix) == 0;
}

// Checks the element structure of an XML plist: tags balanced, depth and element count bounded.
bool checkXmlShape(std::string_view s, const ShapeLimits& limits, std::string* error) {
    // XML allows no NUL; libplist 2.2 would keep it in a string and then abort on reading it.
    if (s.find('\0') != std::string_view::npos) {
        setError(error, "malformed XML property list");
        return false;
    }
    std::vector<std::string_view> open;
    size_t elements = 0;
    size_t i = 0;
    auto skipPast = [&](std::string_view end) {
        size_t e = s.find(end, i);
        if (e == std::string_view::npos) return false;
        i = e + end.size();
        return true;
    };
    while ((i = s.find('<', i)) != std::string_view::npos) {
        if (startsWith(s, i, "<!--")) {
            if (!skipPast("-->")) break;
            continue;
        }
        if (startsWith(s, i, "<![CDATA[")) {
            if (!skipPast("]]>")) break;
            continue;
        }
        if (startsWith(s, i, "<?") || startsWith(s, i, "<!")) {
            if (!skipPast(">")) break;
            continue;
        }
        size_t close = s.find('>', i);
        if (close == std::string_view::npos) break;
        bool closing = s[i + 1] == '/';
        size_t nameStart = i + (closing ? 2 : 1);
        size_t nameEnd = nameStart;
        while (nameEnd < close && s[nameEnd] != '/' && s[nameEnd] != ' ' && s[nameEnd] != '\t' &&
               s[nameEnd] != '\r' && s[nameEnd] != '\n')
            ++nameEnd;
        std::string_view name = s.substr(nameStart, nameEnd - nameStart);
        if (closing) {
            if (open.empty() || open.back() != name) {
                setError(error, "malformed XML property list");
                return false;
            }
            open.pop_back();
        } else {
            if (++elements > limits.maxNodes) {
                setError(error, "property list has too many values");
                return false;
            }
            if (s[close - 1] != '/') {
                open.push_back(name);
                // Allows for the <plist> wrapper and a leaf element below the deepest container;
                // the conversion to Value enforces the exact container depth.
                if (open.size() > limits.maxDepth + 2) {
                    setError(error, "property list nested too deeply");
                    return false;
                }
            }
        }
        i = close + 1;
    }
    return true;
}

bool isUtf8(std::string_view s) {
    size_t i = 0, n = s.size();
    while (i < n) {
        uint8_t c = static_cast<uint8_t>(s[i]);
        if (c == 0) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            uint8_t cc = static_cast<uint8_t>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// libplist's date getter truncates the seconds toward zero and drops the sign of the fraction,
// so times in the second before 2001 come back positive. The binary form of the lone node
// holds the exact double.
double dateSinceReference(plist_t node) {
    char* out = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &out, &length);
    double seconds = 0;
    if (out && length >= 17 && static_cast<uint8_t>(out[8]) == 0x33) {
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<uint8_t>(out[9 + i]);
        std::memcpy(&seconds, &bits, sizeof seconds);
    } else {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        seconds = sec + (sec < 0 ? -usec : usec) / 1e6;
    }
    if (out) plist_to_bin_free(out);
    return seconds;
}

}  // namespace

bool isCodableString(std::string_view s) {
    return isUtf8(s);
}

PlistPtr parseNode(std::span<const uint8_t> bytes, const ShapeLimits& limits, std::string* error) {
    if (bytes.empty()) {
        setError(error, "empty input");
        return nullptr;
    }
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
        setError(error, "input too large");
        return nullptr;
    }
    const char* p = reinterpret_cast<const char*>(bytes.data());
    auto n = static_cast<uint32_t>(bytes.size());
    plist_t node = nullptr;
    if (plist_is_binary(p, n)) {
        if (!BinaryShape(bytes, limits).check(error)) return nullptr;
        plist_from_bin(p, n, &node);
    } else {
        if (!checkXmlShape(std::string_view(p, n), limits, error)) return nullptr;
        plist_from_xml(p, n, &node);
    }
    if (!node) setError(error, "not a property list");
    return PlistPtr(node);
}

std::optional<Data> writeNode(plist_t node, PlistFormat format) {
    // libplist only fills the output pointer when it starts out null.
    char* out = nullptr;
    uint32_t length = 0;
    if (format == PlistFormat::Binary)
        plist_to_bin(node, &out, &length);
    else
        plist_to_xml(node, &out, &length);
    if (!out) return std::nullopt;
    Data data(reinterpret_cast<uint8_t*>(out), reinterpret_cast<uint8_t*>(out) + length);
    if (format == PlistFormat::Binary)
        plist_to_bin_free(out);
    else
        plist_to_xml_free(out);
    return data;
}

std::string nodeString(plist_t node) {
    if (plist_get_node_type(node) == PLIST_STRING) {
        uint64_t length = 0;
        const char* p = plist_get_string_ptr(node, &length);
        return p ? std::string(p, ::strnlen(p, length)) : std::string();
    }
    char* s = nullptr;
    plist_get_key_val(node, &s);
    if (!s) return {};
    std::string out(s);
    std::free(s);
    return out;
}

std::optional<Value> nodeToValue(plist_t node, size_t maxDepth, std::string* error) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            // Binary and XML integers are signed 64-bit; libplist keeps the raw bits.
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return Value(static_cast<int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING:
        case PLIST_KEY:
            return Value(nodeString(node));
        case PLIST_DATA: {
            uint64_t len = 0;
            const char* p = plist_get_data_ptr(node, &len);
            if (!p) return Value(Data{});
            return Value(
                Data(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p) + len));
        }
        case PLIST_DATE: {
            return Value(Date{dateSinceReference(node) + kReferenceDateOffset});
        }
        case PLIST_UID: {
            uint64_t u = 0;
            plist_get_uid_val(node, &u);
            return Value(Dictionary{{"CF$UID", Value(static_cast<int64_t>(u))}});
        }
        case PLIST_ARRAY: {
            if (maxDepth == 0) {
                setError(error, "property list nested too deeply");
                return std::nullopt;
            }
            Array out;
            out.reserve(plist_array_get_size(node));
            plist_array_iter it = nullptr;
            plist_array_new_iter(node, &it);
            for (;;) {
                plist_t item = nullptr;
                plist_array_next_item(node, it, &item);
                if (!item) break;
                auto v = nodeToValue(item, maxDepth - 1, error);
                if (!v) {
                    std::free(it);
                    return std::nullopt;
                }
                out.push_back(std::move(*v));
            }
            std::free(it);
            return Value(std::move(out));
        }
        case PLIST_DICT: {
            if (maxDepth == 0) {
                setError(error, "property list nested too deeply");
                return std::nullopt;
            }
            Dictionary out;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (!item) {
                    std::free(key);
                    break;
                }
                std::string k = key ? key : "";
                std::free(key);
                auto v = nodeToValue(item, maxDepth - 1, error);
                if (!v) {
                    std::free(it);
                    return std::nullopt;
                }
                out.insert_or_assign(std::move(k), std::move(*v));
            }
            std::free(it);
            return Value(std::move(out));
        }
        default:
            setError(error, "unsupported property list value");
            return std::nullopt;
    }
}

PlistPtr valueToNode(const Value& value, size_t maxDepth) {
    const auto& s = value.storage();
    if (auto b = std::get_if<bool>(&s)) return PlistPtr(plist_new_bool(*b ? 1 : 0));
    if (auto i = std::get_if<int64_t>(&s)) return PlistPtr(plist_new_uint(static_cast<uint64_t>(*i)));
    if (auto d = std::get_if<double>(&s)) return PlistPtr(plist_new_real(*d));
    if (auto str = std::get_if<std::string>(&s)) {
        if (!isCodableString(*str)) return nullptr;
        return PlistPtr(plist_new_string(str->c_str()));
    }
    if (auto data = std::get_if<Data>(&s))
        return PlistPtr(plist_new_data(reinterpret_cast<const char*>(data->data()), data->size()));
    if (auto date = std::get_if<Date>(&s)) {
        // libplist dates are whole seconds plus microseconds since 2001 in 32 bits.
        double since2001 = date->secondsSince1970 - kReferenceDateOffset;
        if (!std::isfinite(since2001)) return nullptr;
        double whole = std::floor(since2001);
        if (whole < std::numeric_limits<int32_t>::min() || whole > std::numeric_limits<int32_t>::max())
            return nullptr;
        auto usec = static_cast<int32_t>(std::lround((since2001 - whole) * 1e6));
        auto sec = static_cast<int32_t>(whole);
        if (usec >= 1000000) {
            if (sec == std::numeric_limits<int32_t>::max()) return nullptr;
            ++sec;
            usec -= 1000000;
        }
        return PlistPtr(plist_new_date(sec, usec));
    }
    if (auto arr = std::get_if<Array>(&s)) {
        if (maxDepth == 0) return nullptr;
        PlistPtr node(plist_new_array());
        for (const auto& item : *arr) {
            PlistPtr child = valueToNode(item, maxDepth - 1);
            if (!child) return nullptr;
            plist_array_append_item(node.get(), child.release());
        }
        return node;
    }
    if (auto dict = std::get_if<Dictionary>(&s)) {
        if (maxDepth == 0) return nullptr;
        PlistPtr node(plist_new_dict());
        for (const auto& [key, item] : *dict) {
            if (!isCodableString(key)) return nullptr;
            PlistPtr child = valueToNode(item, maxDepth - 1);
            if (!child) return nullptr;
            plist_dict_set_item(node.get(), key.c_str(), child.release());
        }
        return node;
    }
    return nullptr;  // Null and Object have no plist form
}

}  // namespace detail

namespace {
constexpr detail::ShapeLimits kPlistLimits{};
}

std::optional<Value> parsePlist(std::span<const uint8_t> bytes, std::string* error) {
    detail::PlistPtr node = detail::parseNode(bytes, kPlistLimits, error);
    if (!node) return std::nullopt;
    return detail::nodeToValue(node.get(), kPlistLimits.maxDepth, error);
}

std::optional<Data> serializePlist(const Value& value, PlistFormat format) {
    detail::PlistPtr node = detail::valueToNode(value, kPlistLimits.maxDepth);
    if (!node) return std::nullopt;
    return detail::writeNode(node.get(), format);
}

std::optional<Value> readPlistFile(const std::string& path, std::string* error, size_t maxBytes) {
    auto bytes = fileio::readUserFile(path, std::nullopt, maxBytes);
    if (!bytes) {
        if (error)
            *error = "cannot read " + path + " (missing, not a regular file, or larger than the limit)";
        return std::nullopt;
    }
    return parsePlist(*bytes, error);
}

bool writePlistFile(const Value& value, const std::string& path, PlistFormat format) {
    auto data = serializePlist(value, format);
    return data && fileio::writeFileAtomically(path, *data);
}

}  // namespace archive
