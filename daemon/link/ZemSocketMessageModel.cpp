#include "ZemSocketMessageModel.h"

#include "daemon/messages/ZemActions.h"

namespace hollin {

std::string ZemSocketMessageModel::reqNameForTag(uint64_t reqTag) {
    const ZemAction* row = zemActionForTag(reqTag);
    return row ? std::string(row->reqName) : std::string();
}

int32_t ZemSocketMessageModel::connTypeForTag(uint64_t reqTag) {
    const ZemAction* row = zemActionForTag(reqTag);
    return row ? row->action : 0;
}

std::shared_ptr<ZemSocketMessageModel> ZemSocketMessageModel::create(uint64_t reqTag,
                                                                     std::vector<uint8_t> sendData,
                                                                     double now) {
    auto record = std::make_shared<ZemSocketMessageModel>();
    record->reqTag = reqTag;
    record->reqName = reqNameForTag(reqTag);
    record->connType = connTypeForTag(reqTag);
    record->sendData = std::move(sendData);
    record->startTimeInterval = now;
    return record;
}

}  // namespace hollin
