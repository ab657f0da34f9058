// How the two ends of a helper pair call each other over their connection: a call is
// {"selector": "<selector>", "arguments": [...]}, and a call with a reply block is answered with
// {"arguments": [...]}, the block's arguments. AppProtocol is the app's side, HelperProtocol the
// helper's; the operations each helper adds are named in its own protocol.
#pragma once

#include <optional>
#include <string>

#include "platform/archive/Value.h"

namespace helperscaffold {

inline constexpr const char* kSelectorKey = "selector";
inline constexpr const char* kArgumentsKey = "arguments";

// AppProtocol
inline constexpr const char* kHelperLogSelector = "helperLog:";
// HelperProtocol operations both helpers have
inline constexpr const char* kWriteLogSelector = "writeLog:type:";
inline constexpr const char* kUpdateHelperSelector =
    "UpdatePrivilegedHelperToolsWithResourcePath:destinationPath:";

archive::Dictionary callMessage(const std::string& selector, archive::Array arguments);
archive::Dictionary replyMessage(archive::Array arguments);

// The selector of a call; nothing when the message names none.
std::optional<std::string> selectorOf(const archive::Dictionary& message);
// The arguments of a call or reply; empty when there are none.
archive::Array argumentsOf(const archive::Dictionary& message);

// One argument as a text or a number; nothing when it is missing or of another type.
std::optional<std::string> textArgument(const archive::Array& arguments, size_t index);
std::optional<int64_t> integerArgument(const archive::Array& arguments, size_t index);

}  // namespace helperscaffold
