#include "proto/ZemResponse.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include <climits>
#include <map>

namespace zem {

namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;
using google::protobuf::io::CodedInputStream;
using google::protobuf::internal::WireFormatLite;

// What the server sends: one command item per command type (a handful), so a longer list is cut
// and the rest of the heartbeat stays usable; the policy list, the policy contents and the
// configuration items are whole lists that the daemon mirrors (a cut policy list would delete
// stored policies), so a longer one is refused and the request counts as failed.
constexpr ZemResponse::RepeatedLimit kRepeatedLimits[] = {
    {"HeartbeatMsgRsp.reqItemsArray", 64, true},
    {"HeartbeatExtMsgRsp.reqItemsArray", 64, true},
    {"PolicyIDGetMsgRsp.rspItemsArray", 10'000, false},
    {"PolicyContGetMsgRsp.rspItemsArray", 10'000, false},
    {"ConfigGetMsgRsp.configitemsArray", 1'024, false},
};
constexpr ZemResponse::RepeatedLimit kDefaultLimit{"", 1'024, false};

void appendVarint(std::string& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

// Walks the wire format of a reply along the schema, counting what a parse would create. With an
// output it also writes the reply again without the items beyond a truncating limit.
class ReplyBounds {
  public:
    enum class Outcome { Keep, Rewrite, Refuse, Malformed };

    Outcome check(const std::vector<uint8_t>& data, std::string* rewritten, std::string* note) {
        if (!walkAll(data, nullptr)) return refused_ ? finish(Outcome::Refuse, note) : Outcome::Malformed;
        if (dropped_.empty()) return Outcome::Keep;
        std::string out;
        out.reserve(data.size());
        if (!walkAll(data, &out)) return refused_ ? finish(Outcome::Refuse, note) : Outcome::Malformed;
        *rewritten = std::move(out);
        return finish(Outcome::Rewrite, note);
    }

  private:
    Outcome finish(Outcome outcome, std::string* note) {
        if (refused_) {
            *note = "reply refused: " + reason_;
            return outcome;
        }
        std::string text;
        for (const auto& [field, dropped] : dropped_) {
            if (!text.empty()) text += "; ";
            text += field->full_name() + ": " + std::to_string(counts_[field] + dropped) +
                    " items, kept the first " + std::to_string(counts_[field]);
        }
        *note = "reply cut: " + text;
        return outcome;
    }

    bool walkAll(const std::vector<uint8_t>& data, std::string* out) {
        counts_.clear();
        fields_ = 0;
        counting_ = out == nullptr;
        if (counting_) dropped_.clear();
        data_ = data.data();
        size_ = data.size();
        CodedInputStream in(data.data(), static_cast<int>(data.size()));
        if (!walk(in, ZemV5Root::descriptor(), out)) return false;
        return in.CurrentPosition() == static_cast<int>(data.size());
    }

    bool refuse(std::string reason) {
        refused_ = true;
        reason_ = std::move(reason);
        return false;
    }

    // Reads fields until the current limit; false for a refused or malformed reply.
    bool walk(CodedInputStream& in, const Descriptor* type, std::string* out) {
        for (;;) {
            const int start = in.CurrentPosition();
            const uint32_t tag = in.ReadTag();
            // The end of the message or of the current limit; the callers check which.
            if (tag == 0) return true;
            const int number = WireFormatLite::GetTagFieldNumber(tag);
            const auto wireType = WireFormatLite::GetTagWireType(tag);
            if (number == 0) return false;
            // The schema has no groups; an unknown group would be parsed into one entry per inner
            // field, which no budget of this walk sees.
            if (wireType == WireFormatLite::WIRETYPE_START_GROUP || wireType == WireFormatLite::WIRETYPE_END_GROUP)
                return refuse("group field " + std::to_string(number) + " in " + type->full_name());
            const FieldDescriptor* field = type->FindFieldByNumber(number);
            if (!field && type->IsExtensionNumber(number))
                field = DescriptorPool::generated_pool()->FindExtensionByNumber(type, number);
            const bool asMessage = field && field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE &&
                                   wireType == WireFormatLite::WIRETYPE_LENGTH_DELIMITED;

            if (field && field->is_repeated()) {
                const ZemResponse::RepeatedLimit limit = ZemResponse::limitFor(field->full_name());
                size_t items = 1;
                if (!asMessage && wireType == WireFormatLite::WIRETYPE_LENGTH_DELIMITED &&
                    field->cpp_type() != FieldDescriptor::CPPTYPE_STRING) {
                    // A packed list: every element takes at least one byte.
                    uint32_t length = 0;
                    CodedInputStream peek(data_ + in.CurrentPosition(),
                                          static_cast<int>(size_ - static_cast<size_t>(in.CurrentPosition())));
                    if (!peek.ReadVarint32(&length)) return false;
                    items = length;
                }
                size_t& count = counts_[field];
                if (count + items > limit.maxItems) {
                    if (!limit.truncate)
                        return refuse(field->full_name() + ": more than " + std::to_string(limit.maxItems) +
                                      " items");
                    if (!WireFormatLite::SkipField(&in, tag)) return false;
                    if (counting_) ++dropped_[field];
                    continue;
                }
                count += items;
            }
            if (++fields_ > ZemResponse::kMaxReplyFields)
                return refuse("more than " + std::to_string(ZemResponse::kMaxReplyFields) + " fields");

            if (!asMessage) {
                if (!WireFormatLite::SkipField(&in, tag)) return false;
                if (out) out->append(reinterpret_cast<const char*>(data_) + start,
                                     static_cast<size_t>(in.CurrentPosition() - start));
                continue;
            }
            uint32_t length = 0;
            if (!in.ReadVarint32(&length)) return false;
            if (static_cast<size_t>(in.CurrentPosition()) + length > size_) return false;
            if (in.BytesUntilLimit() >= 0 && static_cast<int64_t>(length) > in.BytesUntilLimit()) return false;
            const auto limit = in.PushLimit(static_cast<int>(length));
            if (!in.IncrementRecursionDepth()) return refuse("messages nested too deep");
            std::string inner;
            const bool ok = walk(in, field->message_type(), out ? &inner : nullptr);
            in.DecrementRecursionDepth();
            if (!ok || in.BytesUntilLimit() != 0) return false;
            in.PopLimit(limit);
            if (out) {
                appendVarint(*out, tag);
                appendVarint(*out, inner.size());
                out->append(inner);
            }
        }
    }

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool counting_ = true;
    bool refused_ = false;
    std::string reason_;
    size_t fields_ = 0;
    std::map<const FieldDescriptor*, size_t> counts_;
    std::map<const FieldDescriptor*, size_t> dropped_;
};

}  // namespace

ZemResponse::RepeatedLimit ZemResponse::limitFor(std::string_view fullFieldName) {
    for (const RepeatedLimit& limit : kRepeatedLimits)
        if (limit.field == fullFieldName) return limit;
    return kDefaultLimit;
}

bool ZemResponse::parseData() {
    parsed_ = false;
    responseMsg_.reset();
    root_.Clear();
    limitNote_.clear();
    if (data_.size() > kMaxReplyBytes) {
        limitNote_ = "reply refused: " + std::to_string(data_.size()) + " bytes";
        return false;
    }
    std::string rewritten;
    const auto outcome = ReplyBounds().check(data_, &rewritten, &limitNote_);
    bool ok = false;
    if (outcome == ReplyBounds::Outcome::Keep) {
        // ParseFromArray reports malformed input as false; it neither throws nor aborts on it.
        ok = root_.ParseFromArray(data_.data(), static_cast<int>(data_.size()));
    } else if (outcome == ReplyBounds::Outcome::Rewrite) {
        ok = root_.ParseFromString(rewritten);
    }
    // The parsed message holds what is needed; the bytes go now, not with the object.
    std::vector<uint8_t>().swap(data_);
    if (!ok) {
        root_.Clear();
        return false;
    }
    parsed_ = true;
    return true;
}

}  // namespace zem
