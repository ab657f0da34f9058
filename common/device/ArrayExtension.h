// Turns the NUL-separated byte strings of firmware properties into string arrays.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace Extension {

// Every NUL ends one string; two NULs in a row give an empty string and bytes after the last NUL
// are dropped. Bytes outside printable ASCII become "?" so no control or partial UTF-8 byte leaks
// into reports.
std::vector<std::string> stringArrayWithCFData(std::span<const uint8_t> data);

}  // namespace Extension
