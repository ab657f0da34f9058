// The remote interface of the ticket service, as messages over the XPC-style connection: a
// message names its method under "selector"; a method with a reply block gets {"result": BOOL}.
#pragma once

namespace hux::ticket_protocol {

inline constexpr const char* kServiceName = "com.velmora.ZemClound.Ticket";

inline constexpr const char* kSelector = "selector";
inline constexpr const char* kResult = "result";
inline constexpr const char* kTime = "time";

// Reply: YES when the service runs.
inline constexpr const char* kStartRunProxy = "startRunProxy:";
// Argument "time" (the caller's time in seconds since 1970). Reply: YES when the service asks to
// be started again.
inline constexpr const char* kCheckIsNewConnection = "checkIsNewConnection:block:";
// No argument, no reply.
inline constexpr const char* kCloseXPCAndProxy = "closeXPCAndProxy";

}  // namespace hux::ticket_protocol
