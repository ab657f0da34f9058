// JSON as archive values, for what the service receives as JSON and keeps or sends as archives.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "platform/archive/Value.h"

namespace bus {

// Arrays, objects, strings, booleans and numbers as their archive counterparts, null as Null.
// Integers become integers; an unsigned integer beyond the signed 64-bit range becomes the
// nearest real number rather than wrapping into a negative one.
archive::Value archiveValueFromJson(const nlohmann::json& j);

}  // namespace bus
