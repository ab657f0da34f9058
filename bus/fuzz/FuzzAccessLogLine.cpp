// Feeds arbitrary bytes to the access-log line parser and the JSON body made of its records:
// never a crash, at most fifteen fields plus "category", and a body that parses back.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "bus/ZemCollectQORLogManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(
        reinterpret_cast<const char*>(data ? data : reinterpret_cast<const uint8_t*>("")), size);
    const auto fields = ZemCollectQORLogManager::splitFields(line);
    size_t total = 0;
    for (const auto& field : fields) total += field.size();
    if (total > size) std::abort();
    const auto record = ZemCollectQORLogManager::parseStrToDic(line);
    if (record.empty() || record.size() > 16 || record.back().first != "category") std::abort();
    const auto body = ZemCollectQORLogManager::recordsJson({record});
    const auto parsed = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (!parsed.is_array() || parsed.size() != 1 || parsed[0].size() != record.size()) std::abort();
    return 0;
}
