// The system log of the helper pairs: one line per call on standard error, which the service
// manager's journal keeps. Tests may take the lines instead.
#pragma once

#include <functional>
#include <string>

namespace helperscaffold {

void systemLog(const std::string& line);
// Sends every later line to writer instead; null restores standard error.
void setSystemLogWriter(std::function<void(const std::string&)> writer);

}  // namespace helperscaffold
