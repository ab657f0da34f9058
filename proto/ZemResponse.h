// Base of every reply of the management server: parses the decoded reply bytes as the root message
// and keeps the head, the generic reply body and the typed reply that a subclass picks out of it.
//
// A reply is checked on the wire before it is parsed, so no answer, however built, makes the
// process hold more than a bounded number of parsed elements: every repeated field has an item
// limit (beyond it the reply is refused, or for command lists cut to the limit), the whole reply
// has a field budget, and groups are refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "proto/zem_v5.pb.h"

namespace zem {

class ZemResponse {
  public:
    // Larger replies are refused unparsed: no server answer comes near this size.
    static constexpr size_t kMaxReplyBytes = 16u << 20;
    // At most this many fields (items and their members, unknown fields included) are parsed.
    static constexpr size_t kMaxReplyFields = 200'000;

    // What a reply may carry in one repeated field; over the limit it is refused, or cut to the
    // limit when truncate is set.
    struct RepeatedLimit {
        std::string_view field;  // full field name, "Message.field"
        size_t maxItems;
        bool truncate;
    };
    // The limit of a repeated field (the default one for a field without an entry).
    static RepeatedLimit limitFor(std::string_view fullFieldName);

    // initWithData: the URL-decoded reply bytes.
    explicit ZemResponse(std::vector<uint8_t> data) : data_(std::move(data)) {}
    virtual ~ZemResponse() = default;
    ZemResponse(const ZemResponse&) = delete;
    ZemResponse& operator=(const ZemResponse&) = delete;

    // True when the bytes are a root message within the limits. Subclasses call this first and
    // then take their typed reply out of msgRspBody(). The reply bytes are released afterwards.
    virtual bool parseData();

    // After a successful parseData: the head and the generic reply body, each nullptr when the
    // message has none.
    const Head* msgHead() const { return parsed_ && root_.has_msghead() ? &root_.msghead() : nullptr; }
    const RspMsgBody* msgRspBody() const {
        return parsed_ && root_.has_msgrspbody() ? &root_.msgrspbody() : nullptr;
    }
    // The same body, for a subclass that moves its typed reply out instead of copying it.
    RspMsgBody* mutableMsgRspBody() { return parsed_ && root_.has_msgrspbody() ? root_.mutable_msgrspbody() : nullptr; }

    // The typed reply (HeartbeatMsgRsp, ...), nullptr when none was stored.
    const google::protobuf::Message* responseMsg() const { return responseMsg_.get(); }
    // The same, shared, for a holder that outlives this object.
    std::shared_ptr<const google::protobuf::Message> sharedResponseMsg() const { return responseMsg_; }
    void setResponseMsg(std::shared_ptr<const google::protobuf::Message> message) {
        responseMsg_ = std::move(message);
    }

    // After parseData: what the limits cut or refused, "" when the reply was within them.
    const std::string& limitNote() const { return limitNote_; }

    // The reply bytes until parseData has used them.
    const std::vector<uint8_t>& data() const { return data_; }

  private:
    std::vector<uint8_t> data_;
    ZemV5Root root_;
    bool parsed_ = false;
    std::string limitNote_;
    std::shared_ptr<const google::protobuf::Message> responseMsg_;
};

}  // namespace zem
