#include "bus/JsonValue.h"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

namespace bus {

archive::Value archiveValueFromJson(const nlohmann::json& j) {
    if (j.is_array()) {
        archive::Array a;
        for (const auto& item : j) a.push_back(archiveValueFromJson(item));
        return a;
    }
    if (j.is_object()) {
        archive::Dictionary d;
        for (auto it = j.begin(); it != j.end(); ++it) d.emplace(it.key(), archiveValueFromJson(it.value()));
        return d;
    }
    if (j.is_string()) return j.get<std::string>();
    if (j.is_boolean()) return j.get<bool>();
    if (j.is_number_unsigned()) {
        const uint64_t u = j.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return static_cast<double>(u);
        return static_cast<int64_t>(u);
    }
    if (j.is_number_integer()) return j.get<int64_t>();
    if (j.is_number()) return j.get<double>();
    return archive::Value(archive::Null{});
}

}  // namespace bus
