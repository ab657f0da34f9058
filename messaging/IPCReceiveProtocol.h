// What a messaging server asks of its delegate: an answer to each message.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tessel {

class IPCReceiveProtocol {
  public:
    virtual ~IPCReceiveProtocol() = default;
    // Answers one message; nothing sends the text "0" back.
    virtual std::optional<std::vector<uint8_t>> handleIPCReceiveData(const std::vector<uint8_t>& data,
                                                                     int32_t msgid) = 0;
};

}  // namespace tessel
