#include "JsonFields.h"

#include <charconv>

namespace hux::fields {

const Json* member(const Json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<int64_t> integer(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    if (value->is_number_integer()) return value->get<int64_t>();
    if (value->is_number_float()) {
        const double d = value->get<double>();
        if (d == static_cast<double>(static_cast<int64_t>(d))) return static_cast<int64_t>(d);
        return std::nullopt;
    }
    if (value->is_string()) {
        const auto& s = value->get_ref<const std::string&>();
        int64_t out = 0;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
        if (ec == std::errc() && end == s.data() + s.size() && !s.empty()) return out;
    }
    return std::nullopt;
}

std::optional<std::string> text(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<std::string> textOrNumber(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    if (value->is_string()) return value->get<std::string>();
    if (value->is_number()) return value->dump();
    return std::nullopt;
}

}  // namespace hux::fields
