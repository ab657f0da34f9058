// Base of every request to the management server: builds the root message (head and one typed
// body) and serializes it. Subclasses fill the head and the body; the sender then calls buildData.
#pragma once

#include <string>

#include "platform/archive/Value.h"
#include "proto/zem_v5.pb.h"

namespace zem {

class ZemRequest {
  public:
    ZemRequest() = default;
    virtual ~ZemRequest() = default;
    ZemRequest(const ZemRequest&) = delete;
    ZemRequest& operator=(const ZemRequest&) = delete;

    // Starts a fresh head carrying the name of the user this process runs as. Subclasses call it
    // first and then set their own fields.
    virtual void generateMsgHead();
    // Sets the typed body; the base has none.
    virtual void generateMsgBody() {}

    // Serializes head and body into data(); false when the message cannot be serialized.
    bool buildData();
    const std::string& data() const { return data_; }

    // Parameters for the body builder, set by the caller before building.
    void setUserInfo(archive::Dictionary userInfo) { userInfo_ = std::move(userInfo); }
    const archive::Dictionary& userInfo() const { return userInfo_; }

    // The head; created empty on first use.
    Head* msgHead() { return root_.mutable_msghead(); }
    // The head, or nullptr before it was created.
    const Head* msgHead() const { return root_.has_msghead() ? &root_.msghead() : nullptr; }

    void setReqMsgBody(ReqMsgBody body) { *root_.mutable_reqmsgbody() = std::move(body); }
    // The body, or nullptr while none was set.
    const ReqMsgBody* reqMsgBody() const { return root_.has_reqmsgbody() ? &root_.reqmsgbody() : nullptr; }

    const ZemV5Root& rootMessage() const { return root_; }

  private:
    ZemV5Root root_;
    archive::Dictionary userInfo_;
    std::string data_;
};

}  // namespace zem
