// The text of a server message for a log line: one line that shows what identifies the exchange
// (ids, versions, types, sequence numbers, counts and a few fixed-form texts) and withholds every
// other text, since the server's free text (policy contents, configuration values, accounts) may
// carry a secret; cut at a bound with a marker saying how much was left out.
#pragma once

#include <google/protobuf/message.h>

#include <cstddef>
#include <string>

namespace ZemLogText {

constexpr size_t kMaxBytes = 4096;
constexpr const char* kRedacted = "\"<redacted>\"";

// How a text field's value appears in the log.
enum class TextShown {
    Value,     // as it is: a version, a checksum, an address
    Url,       // without user:password@, query or fragment
    Length,    // "<withheld, N bytes>": free text of the server
    Redacted,  // kRedacted, without even its length: a ticket, password, key or token
};

// "(null)" for no message. Fields the parser did not know are left out.
std::string describe(const google::protobuf::Message* message, size_t maxBytes = kMaxBytes);
// True for a text field whose value must never reach a log.
bool isSecretField(const google::protobuf::FieldDescriptor& field);
// The allow-list: every text field not named in it shows only its length, or nothing.
TextShown textShown(const google::protobuf::FieldDescriptor& field);
// The URL without the user name and password before the host, and without its query and
// fragment (which may carry a token): "https://host/path?<withheld>".
std::string withoutCredentials(const std::string& url);

}  // namespace ZemLogText
