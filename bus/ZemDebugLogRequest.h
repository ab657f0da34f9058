// The debug-log request (action 4000): the archive's sequence, size, MD5 and name go up; the
// server answers where the archive is to be uploaded.
#pragma once

#include "bus/ZemBusMessages.h"
#include "proto/ZemRequest.h"
#include "proto/ZemResponse.h"

class ZemDebugLogRequest : public zem::ZemRequest {
  public:
    explicit ZemDebugLogRequest(bus::HeadFacts facts) : facts_(std::move(facts)) {}
    void generateMsgHead() override;
    // From userInfo() "lastSeq", "logSize", "logMd5" and "logName"; only when no body was set yet.
    void generateMsgBody() override;

  private:
    bus::HeadFacts facts_;
};

class ZemDebugLogResponse : public zem::ZemResponse {
  public:
    using zem::ZemResponse::ZemResponse;
    // True when the reply carries the debug-log reply extension.
    bool parseData() override;
};
