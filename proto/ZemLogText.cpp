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

class RedactedValue final : public TextFormat::FastFieldValuePrinter {
  public:
    void PrintString(const std::string&, TextFormat::BaseTextGenerator* generator) const override {
        generator->PrintLiteral("\"<redacted>\"");
    }
    void PrintBytes(const std::string&, TextFormat::BaseTextGenerator* generator) const override {
        generator->PrintLiteral("\"<redacted>\"");
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

void registerSecrets(TextFormat::Printer& printer, const Descriptor* type) {
    for (int i = 0; i < type->field_count(); ++i) {
        const FieldDescriptor* field = type->field(i);
        if (ZemLogText::isSecretField(*field)) printer.RegisterFieldValuePrinter(field, new RedactedValue);
    }
}

const TextFormat::Printer& printer() {
    static const TextFormat::Printer* instance = [] {
        auto* p = new TextFormat::Printer;
        p->SetSingleLineMode(true);
        p->SetUseUtf8StringEscaping(true);
        // Every message of the schema file, and extensions print through their own types.
        const auto* file = ZemV5Root::descriptor()->file();
        for (int i = 0; i < file->message_type_count(); ++i) registerSecrets(*p, file->message_type(i));
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
    for (std::string_view word : {"ticket", "password", "passwd", "pwd", "secret", "token", "key", "credential"})
        if (name.find(word) != std::string::npos) return true;
    return false;
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
    if (total > text.size())
        text += " ...[cut, " + std::to_string(total - text.size()) + " more bytes]";
    return text;
}

}  // namespace ZemLogText
