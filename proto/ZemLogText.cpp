#include "proto/ZemLogText.h"

#include <google/protobuf/io/zero_copy_stream.h>
#include <google/protobuf/text_format.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>

#include "proto/zem_v5.pb.h"

namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::TextFormat;

using ZemLogText::TextShown;

class RedactedValue final : public TextFormat::FastFieldValuePrinter {
  public:
    void PrintString(const std::string&, TextFormat::BaseTextGenerator* generator) const override {
        generator->PrintLiteral("\"<redacted>\"");
    }
    void PrintBytes(const std::string&, TextFormat::BaseTextGenerator* generator) const override {
        generator->PrintLiteral("\"<redacted>\"");
    }
};

// The default for every text: its length only.
class LengthOnlyValue final : public TextFormat::FastFieldValuePrinter {
  public:
    void PrintString(const std::string& value, TextFormat::BaseTextGenerator* generator) const override {
        generator->PrintString("\"<withheld, " + std::to_string(value.size()) + " bytes>\"");
    }
    void PrintBytes(const std::string& value, TextFormat::BaseTextGenerator* generator) const override {
        PrintString(value, generator);
    }
};

class UrlValue final : public TextFormat::FastFieldValuePrinter {
  public:
    void PrintString(const std::string& value, TextFormat::BaseTextGenerator* generator) const override {
        FastFieldValuePrinter::PrintString(ZemLogText::withoutCredentials(value), generator);
    }
    void PrintBytes(const std::string& value, TextFormat::BaseTextGenerator* generator) const override {
        PrintString(value, generator);
    }
};

// Keeps the first maxBytes of what the printer writes and counts the rest, so a huge message
// never becomes a huge string.
class CappedOutput final : public google::protobuf::io::ZeroCopyOutputStream {
  public:
    CappedOutput(std::string& out, size_t maxBytes) : out_(out), max_(maxBytes) {}
    bool Next(void** data, int* size) override {
        flush();
        *data = buffer_;
        *size = sizeof buffer_;
        pending_ = sizeof buffer_;
        return true;
    }
    void BackUp(int count) override { pending_ -= static_cast<size_t>(count); }
    int64_t ByteCount() const override { return static_cast<int64_t>(total_ + pending_); }
    void flush() {
        const size_t room = max_ > out_.size() ? max_ - out_.size() : 0;
        out_.append(buffer_, std::min(room, pending_));
        total_ += pending_;
        pending_ = 0;
    }
    size_t total() const { return total_; }

  private:
    std::string& out_;
    size_t max_;
    size_t total_ = 0;
    size_t pending_ = 0;
    char buffer_[1024];
};

// Fixed-form texts of the schema that identify an exchange and never carry a secret.
constexpr std::string_view kShownTexts[] = {
    "Head.zemVer",
    "Head.deviceMac",
    "Head.clientip",
    "UpdateMsgReq.zemVer",
    "UpdateMsgRsp.md5",
    "DebugLogUploadMsgReq.logMd5",
    "DebugLogUploadMsgRsp.ftpSvrIp",
    "NetworkLocationGetMsgRsp.domainName",
    "NetworkLocationGetMsgRsp.dns",
};
constexpr std::string_view kUrlTexts[] = {"UpdateMsgRsp.updateURL", "DebugLogUploadMsgRsp.uploadURL"};

bool isText(const FieldDescriptor& field) {
    return field.cpp_type() == FieldDescriptor::CPPTYPE_STRING;
}

// The printer shows a text through the default printer (its length), unless registered here.
void registerTexts(TextFormat::Printer& printer, const Descriptor* type) {
    for (int i = 0; i < type->field_count(); ++i) {
        const FieldDescriptor* field = type->field(i);
        switch (ZemLogText::textShown(*field)) {
            case TextShown::Value:
                printer.RegisterFieldValuePrinter(field, new TextFormat::FastFieldValuePrinter);
                break;
            case TextShown::Url:
                printer.RegisterFieldValuePrinter(field, new UrlValue);
                break;
            case TextShown::Redacted:
                if (isText(*field)) printer.RegisterFieldValuePrinter(field, new RedactedValue);
                break;
            case TextShown::Length:
                break;
        }
    }
}

const TextFormat::Printer& printer() {
    static const TextFormat::Printer* instance = [] {
        auto* p = new TextFormat::Printer;
        p->SetSingleLineMode(true);
        // A field the schema does not know could hold anything.
        p->SetHideUnknownFields(true);
        p->SetDefaultFieldValuePrinter(new LengthOnlyValue);
        // Every message of the schema file, and extensions print through their own types.
        const auto* file = ZemV5Root::descriptor()->file();
        for (int i = 0; i < file->message_type_count(); ++i) registerTexts(*p, file->message_type(i));
        return p;
    }();
    return *instance;
}

}  // namespace

namespace ZemLogText {

bool isSecretField(const FieldDescriptor& field) {
    if (field.cpp_type() != FieldDescriptor::CPPTYPE_STRING) return false;
    std::string name = field.name();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (std::string_view word :
         {"ticket", "password", "passwd", "pwd", "secret", "token", "key", "credential"})
        if (name.find(word) != std::string::npos) return true;
    return false;
}

TextShown textShown(const FieldDescriptor& field) {
    if (isSecretField(field)) return TextShown::Redacted;
    if (!isText(field)) return TextShown::Value;
    const std::string& name = field.full_name();
    for (std::string_view shown : kShownTexts)
        if (name == shown) return TextShown::Value;
    for (std::string_view url : kUrlTexts)
        if (name == url) return TextShown::Url;
    return TextShown::Length;
}

std::string withoutCredentials(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t authorityEnd = std::min(url.find_first_of("/?#", authority), url.size());
    const size_t at = url.rfind('@', authorityEnd - 1);
    std::string out = url.substr(0, authority);
    out += (at != std::string::npos && at >= authority && at < authorityEnd)
               ? url.substr(at + 1, authorityEnd - at - 1)
               : url.substr(authority, authorityEnd - authority);
    const size_t tail = std::min(url.find_first_of("?#", authorityEnd), url.size());
    out += url.substr(authorityEnd, tail - authorityEnd);
    if (tail < url.size()) out += "?<withheld>";
    return out;
}

std::string describe(const google::protobuf::Message* message, size_t maxBytes) {
    if (!message) return "(null)";
    std::string text;
    size_t total = 0;
    {
        CappedOutput out(text, maxBytes);
        printer().Print(*message, &out);
        out.flush();
        total = out.total();
    }
    // Single-line mode ends with a blank.
    while (!text.empty() && text.back() == ' ' && total == text.size()) {
        text.pop_back();
        --total;
    }
    if (total > text.size()) text += " ...[cut, " + std::to_string(total - text.size()) + " more bytes]";
    return text;
}

}  // namespace ZemLogText
