// Base of every reply of the management server: parses the decoded reply bytes as the root message
// and keeps the head, the generic reply body and the typed reply that a subclass picks out of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "proto/zem_v5.pb.h"

class ZemResponse {
  public:
    // Larger replies are refused unparsed: no server answer comes near this size.
    static constexpr size_t kMaxReplyBytes = 16u << 20;

    // initWithData: the URL-decoded reply bytes.
    explicit ZemResponse(std::vector<uint8_t> data) : data_(std::move(data)) {}
    virtual ~ZemResponse() = default;
    ZemResponse(const ZemResponse&) = delete;
    ZemResponse& operator=(const ZemResponse&) = delete;

    // True when the bytes are a root message. Subclasses call this first and then take their typed
    // reply out of msgRspBody().
    virtual bool parseData();

    // After a successful parseData: the head and the generic reply body, each nullptr when the
    // message has none.
    const Head* msgHead() const { return parsed_ && root_.has_msghead() ? &root_.msghead() : nullptr; }
    const RspMsgBody* msgRspBody() const {
        return parsed_ && root_.has_msgrspbody() ? &root_.msgrspbody() : nullptr;
    }

    // The typed reply (HeartbeatMsgRsp, ...), nullptr when none was stored.
    const google::protobuf::Message* responseMsg() const { return responseMsg_.get(); }
    // The same, shared, for a holder that outlives this object.
    std::shared_ptr<const google::protobuf::Message> sharedResponseMsg() const { return responseMsg_; }
    void setResponseMsg(std::shared_ptr<const google::protobuf::Message> message) {
        responseMsg_ = std::move(message);
    }

    const std::vector<uint8_t>& data() const { return data_; }

  private:
    std::vector<uint8_t> data_;
    ZemV5Root root_;
    bool parsed_ = false;
    std::shared_ptr<const google::protobuf::Message> responseMsg_;
};
