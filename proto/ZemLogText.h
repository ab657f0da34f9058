// The text of a server message for a log line: one line, secrets (tickets, passwords, keys,
// tokens) replaced by a marker, and cut at a bound with a marker saying how much was left out.
#pragma once

#include <cstddef>
#include <string>

#include <google/protobuf/message.h>

namespace ZemLogText {

constexpr size_t kMaxBytes = 4096;
constexpr const char* kRedacted = "\"<redacted>\"";

// "(null)" for no message.
std::string describe(const google::protobuf::Message* message, size_t maxBytes = kMaxBytes);
// True for a text field whose value must never reach a log.
bool isSecretField(const google::protobuf::FieldDescriptor& field);

}  // namespace ZemLogText
