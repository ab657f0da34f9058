// The environment of the product's children: the caller's, with the search path fixed so the
// product's tool stand-ins come first, and a UTF-8 C locale, so a missing locale cannot put
// warnings on a command's error stream and tools answer in the words their callers read.
#pragma once

#include <string>
#include <vector>

namespace spawn {

std::vector<std::string> toolEnvironment();

}  // namespace spawn
