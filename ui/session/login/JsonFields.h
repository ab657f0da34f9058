// Typed reads of reply fields that tolerate any shape: a missing or mistyped field is nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "HttpSession.h"

namespace hux::fields {

// The member of an object; nothing for a non-object or a missing key.
const Json* member(const Json& object, const char* key);
// A whole number, or a string holding one (servers send both); nothing otherwise.
std::optional<int64_t> integer(const Json& object, const char* key);
// A string member; nothing otherwise.
std::optional<std::string> text(const Json& object, const char* key);
// The member as text: a string as it is, a number in decimal; nothing otherwise.
std::optional<std::string> textOrNumber(const Json& object, const char* key);

}  // namespace hux::fields
