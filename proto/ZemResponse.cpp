#include "proto/ZemResponse.h"

bool ZemResponse::parseData() {
    parsed_ = false;
    responseMsg_.reset();
    root_.Clear();
    if (data_.size() > kMaxReplyBytes) return false;
    // ParseFromArray reports malformed input as false; it neither throws nor aborts on it.
    if (!root_.ParseFromArray(data_.data(), static_cast<int>(data_.size()))) {
        root_.Clear();
        return false;
    }
    parsed_ = true;
    return true;
}
