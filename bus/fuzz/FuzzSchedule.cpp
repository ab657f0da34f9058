// The upload schedule reply from the server: any bytes give an outcome, never a crash, and a
// stored list survives its own archive.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/archive/KeyedArchive.h"
#include "bus/UploadScheduleManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const bus::ScheduleReply reply = bus::parseScheduleReply(body);
    if (reply.outcome != bus::ScheduleReply::Outcome::Stored) return 0;
    if (reply.models.size() > bus::kMaxScheduleEntries) __builtin_trap();
    archive::Array items;
    for (const auto& m : reply.models) items.push_back(m.encode());
    const auto archived = archive::archivedData(archive::Value(std::move(items)));
    if (!archived) return 0;  // text that is not UTF-8 cannot be archived
    const auto decoded = archive::unarchive(*archived, {"UploadScheduleModel"});
    if (!decoded || !decoded.value->array() || decoded.value->array()->size() != reply.models.size())
        __builtin_trap();
    for (size_t i = 0; i < reply.models.size(); ++i)
        if (UploadScheduleModel::decode((*decoded.value->array())[i]) != reply.models[i]) __builtin_trap();
    return 0;
}
