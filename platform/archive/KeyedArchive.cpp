#include "KeyedArchive.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "PlistNode.h"
#include "platform/core/FileIO.h"

namespace archive {

namespace {

using detail::PlistPtr;

constexpr const char* kArchiverName = "NSKeyedArchiver";
constexpr uint64_t kArchiveVersion = 100000;

enum class Kind { Array, Dictionary, String, Data, Date, Null };

// Foundation classes that map to Value types; each also decodes from its mutable form.
const std::map<std::string, Kind, std::less<>>& foundationClasses() {
    static const std::map<std::string, Kind, std::less<>> classes = {
        {"NSArray", Kind::Array},
        {"NSMutableArray", Kind::Array},
        {"NSDictionary", Kind::Dictionary},
        {"NSMutableDictionary", Kind::Dictionary},
        {"NSString", Kind::String},
        {"NSMutableString", Kind::String},
        {"NSData", Kind::Data},
        {"NSMutableData", Kind::Data},
        {"NSDate", Kind::Date},
        {"NSNull", Kind::Null},
    };
    return classes;
}

plist_t newString(std::string_view s) {
    return plist_new_string(std::string(s).c_str());
}

plist_t newStringArray(std::initializer_list<std::string_view> items) {
    plist_t a = plist_new_array();
    for (auto s : items) plist_array_append_item(a, newString(s));
    return a;
}

// ---------------------------------------------------------------------------------------------
// Encoding

class Encoder {
  public:
    explicit Encoder(size_t maxDepth) : maxDepth_(maxDepth) {
        entries_.emplace_back(plist_new_string("$null"));
    }

    // Returns the UID of the value's entry in "$objects".
    std::optional<uint64_t> encode(const Value& v, size_t depth) {
        const auto& s = v.storage();
        if (std::holds_alternative<Null>(s)) return encodeNull();
        if (auto b = std::get_if<bool>(&s)) return add(plist_new_bool(*b ? 1 : 0));
        if (auto i = std::get_if<int64_t>(&s)) return add(plist_new_uint(static_cast<uint64_t>(*i)));
        if (auto d = std::get_if<double>(&s)) return add(plist_new_real(*d));
        if (auto str = std::get_if<std::string>(&s)) return encodeString(*str);
        if (auto data = std::get_if<Data>(&s))
            return add(plist_new_data(reinterpret_cast<const char*>(data->data()), data->size()));
        if (auto date = std::get_if<Date>(&s)) {
            auto cls = classUid("NSDate", {"NSDate", "NSObject"});
            plist_t dict = plist_new_dict();
            plist_dict_set_item(dict, "$class", plist_new_uid(cls));
            plist_dict_set_item(dict, "NS.time",
                                plist_new_real(date->secondsSince1970 - detail::kReferenceDateOffset));
            return add(dict);
        }
        if (depth > maxDepth_) return std::nullopt;
        if (auto arr = std::get_if<Array>(&s)) return encodeArray(*arr, depth);
        if (auto dict = std::get_if<Dictionary>(&s)) return encodeDictionary(*dict, depth);
        if (auto obj = std::get_if<std::shared_ptr<const Object>>(&s)) {
            if (!*obj) return 0;  // a null object pointer is nil
            return encodeObject(*obj, depth);
        }
        return std::nullopt;
    }

    PlistPtr finish(uint64_t root) {
        PlistPtr objects(plist_new_array());
        for (auto& e : entries_) plist_array_append_item(objects.get(), e.release());
        PlistPtr top(plist_new_dict());
        plist_t topRef = plist_new_dict();
        plist_dict_set_item(topRef, "root", plist_new_uid(root));
        plist_dict_set_item(top.get(), "$archiver", plist_new_string(kArchiverName));
        plist_dict_set_item(top.get(), "$version", plist_new_uint(kArchiveVersion));
        plist_dict_set_item(top.get(), "$top", topRef);
        plist_dict_set_item(top.get(), "$objects", objects.release());
        return top;
    }

  private:
    uint64_t add(plist_t node) {
        entries_.emplace_back(node);
        return entries_.size() - 1;
    }
    // Containers take their UID before their contents, as NSKeyedArchiver numbers them.
    uint64_t reserve() { return add(nullptr); }
    void fill(uint64_t uid, plist_t node) { entries_[uid].reset(node); }

    uint64_t encodeNull() {
        // NSNull is a singleton: one entry serves every null.
        if (!nullUid_) {
            plist_t dict = plist_new_dict();
            plist_dict_set_item(dict, "$class", plist_new_uid(classUid("NSNull", {"NSNull", "NSObject"})));
            nullUid_ = add(dict);
        }
        return *nullUid_;
    }

    std::optional<uint64_t> encodeString(const std::string& s) {
        if (!detail::isCodableString(s)) return std::nullopt;
        auto it = strings_.find(s);
        if (it != strings_.end()) return it->second;
        uint64_t uid = add(plist_new_string(s.c_str()));
        strings_.emplace(s, uid);
        return uid;
    }

    std::optional<uint64_t> encodeArray(const Array& arr, size_t depth) {
        uint64_t uid = reserve();
        PlistPtr refs(plist_new_array());
        for (const auto& item : arr) {
            auto ref = encode(item, depth + 1);
            if (!ref) return std::nullopt;
            plist_array_append_item(refs.get(), plist_new_uid(*ref));
        }
        plist_t dict = plist_new_dict();
        plist_dict_set_item(
            dict, "$class",
            plist_new_uid(classUid("NSMutableArray", {"NSMutableArray", "NSArray", "NSObject"})));
        plist_dict_set_item(dict, "NS.objects", refs.release());
        fill(uid, dict);
        return uid;
    }

    std::optional<uint64_t> encodeDictionary(const Dictionary& d, size_t depth) {
        uint64_t uid = reserve();
        PlistPtr keys(plist_new_array());
        PlistPtr values(plist_new_array());
        for (const auto& [key, item] : d) {
            auto k = encodeString(key);
            if (!k) return std::nullopt;
            auto v = encode(item, depth + 1);
            if (!v) return std::nullopt;
            plist_array_append_item(keys.get(), plist_new_uid(*k));
            plist_array_append_item(values.get(), plist_new_uid(*v));
        }
        plist_t dict = plist_new_dict();
        plist_dict_set_item(dict, "$class",
                            plist_new_uid(classUid("NSMutableDictionary",
                                                   {"NSMutableDictionary", "NSDictionary", "NSObject"})));
        plist_dict_set_item(dict, "NS.keys", keys.release());
        plist_dict_set_item(dict, "NS.objects", values.release());
        fill(uid, dict);
        return uid;
    }

    std::optional<uint64_t> encodeObject(const std::shared_ptr<const Object>& obj, size_t depth) {
        auto it = objects_.find(obj.get());
        if (it != objects_.end()) {
            // An object inside itself would give an archive that no decoder accepts.
            if (encoding_.count(obj.get())) return std::nullopt;
            return it->second;
        }
        const std::string& name = obj->className;
        // A Foundation name would decode as that class and lose the fields.
        if (name.empty() || !detail::isCodableString(name) || foundationClasses().count(name))
            return std::nullopt;
        uint64_t uid = reserve();
        objects_.emplace(obj.get(), uid);
        encoding_.insert(obj.get());
        PlistPtr dict(plist_new_dict());
        plist_dict_set_item(dict.get(), "$class", plist_new_uid(classUid(name, {name, "NSObject"})));
        for (const auto& [key, field] : obj->fields) {
            if (key.empty() || !detail::isCodableString(key)) return std::nullopt;
            // Keys starting with '$' are the archiver's own; user keys get a second '$'.
            std::string codedKey = key[0] == '$' ? "$" + key : key;
            plist_t node = nullptr;
            const auto& fs = field.storage();
            // Scalars are coded inline, as encodeBool:/encodeInteger:/encodeDouble: write them.
            if (auto b = std::get_if<bool>(&fs)) {
                node = plist_new_bool(*b ? 1 : 0);
            } else if (auto i = std::get_if<int64_t>(&fs)) {
                node = plist_new_uint(static_cast<uint64_t>(*i));
            } else if (auto d = std::get_if<double>(&fs)) {
                node = plist_new_real(*d);
            } else if (field.isNull()) {
                node = plist_new_uid(0);  // a nil property
            } else {
                auto ref = encode(field, depth + 1);
                if (!ref) return std::nullopt;
                node = plist_new_uid(*ref);
            }
            plist_dict_set_item(dict.get(), codedKey.c_str(), node);
        }
        fill(uid, dict.release());
        encoding_.erase(obj.get());
        return uid;
    }

    uint64_t classUid(const std::string& name, std::initializer_list<std::string_view> classes) {
        auto it = classes_.find(name);
        if (it != classes_.end()) return it->second;
        plist_t dict = plist_new_dict();
        plist_dict_set_item(dict, "$classname", newString(name));
        plist_dict_set_item(dict, "$classes", newStringArray(classes));
        uint64_t uid = add(dict);
        classes_.emplace(name, uid);
        return uid;
    }

    size_t maxDepth_;
    std::vector<PlistPtr> entries_;
    std::unordered_map<std::string, uint64_t> strings_;
    std::unordered_map<const Object*, uint64_t> objects_;
    std::unordered_set<const Object*> encoding_;  // objects whose fields are being encoded
    std::unordered_map<std::string, uint64_t> classes_;
    std::optional<uint64_t> nullUid_;
};

// ---------------------------------------------------------------------------------------------
// Decoding

const char* typeName(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN:
            return "boolean";
        case PLIST_UINT:
            return "integer";
        case PLIST_REAL:
            return "real";
        case PLIST_STRING:
            return "string";
        case PLIST_ARRAY:
            return "array";
        case PLIST_DICT:
            return "dictionary";
        case PLIST_DATE:
            return "date";
        case PLIST_DATA:
            return "data";
        case PLIST_KEY:
            return "key";
        case PLIST_UID:
            return "reference";
        default:
            return "unknown value";
    }
}

// A reference: a UID node, or the {"CF$UID": n} dictionary that XML archives hold instead.
std::optional<uint64_t> uidOf(plist_t node) {
    if (!node) return std::nullopt;
    auto type = plist_get_node_type(node);
    uint64_t v = 0;
    if (type == PLIST_UID) {
        plist_get_uid_val(node, &v);
        return v;
    }
    if (type == PLIST_DICT && plist_dict_get_size(node) == 1) {
        plist_t n = plist_dict_get_item(node, "CF$UID");
        if (n && plist_get_node_type(n) == PLIST_UINT) {
            plist_get_uint_val(n, &v);
            return v;
        }
    }
    return std::nullopt;
}

// Visits the items of an array node in order (sequential access is linear in libplist).
template <typename F>
bool forEachItem(plist_t array, F&& f) {
    plist_array_iter it = nullptr;
    plist_array_new_iter(array, &it);
    bool ok = true;
    for (;;) {
        plist_t item = nullptr;
        plist_array_next_item(array, it, &item);
        if (!item) break;
        if (!f(item)) {
            ok = false;
            break;
        }
    }
    std::free(it);
    return ok;
}

template <typename F>
bool forEachEntry(plist_t dict, F&& f) {
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(dict, &it);
    bool ok = true;
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(dict, it, &key, &item);
        if (!item) {
            std::free(key);
            break;
        }
        std::string k = key ? key : "";
        std::free(key);
        if (!f(k, item)) {
            ok = false;
            break;
        }
    }
    std::free(it);
    return ok;
}

class Decoder {
  public:
    Decoder(const ClassAllowList& allowed, const DecodeLimits& limits) : allowed_(allowed), limits_(limits) {}

    DecodeResult run(plist_t top) {
        DecodeResult r;
        auto v = decodeTop(top);
        if (v)
            r.value = std::move(*v);
        else
            r.error = error_.empty() ? "cannot decode archive" : error_;
        return r;
    }

  private:
    struct Decoded {
        Value value;
        size_t height = 0;  // container levels in the value
    };
    struct Memo {
        Value value;
        size_t height;
        size_t cost;
    };
    struct ClassInfo {
        std::string name;
    };

    bool fail(std::string text) {
        if (error_.empty()) error_ = std::move(text);
        return false;
    }

    bool charge(size_t bytes) {
        used_ += bytes;
        if (used_ > limits_.maxDecodedBytes) return fail("archive expands beyond the decode limit");
        return true;
    }

    std::optional<Value> decodeTop(plist_t top) {
        if (plist_get_node_type(top) != PLIST_DICT) {
            fail("not a keyed archive: top level is not a dictionary");
            return std::nullopt;
        }
        plist_t archiver = plist_dict_get_item(top, "$archiver");
        if (!archiver || plist_get_node_type(archiver) != PLIST_STRING ||
            detail::nodeString(archiver) != kArchiverName) {
            fail("not a keyed archive: \"$archiver\" is not NSKeyedArchiver");
            return std::nullopt;
        }
        plist_t version = plist_dict_get_item(top, "$version");
        if (version && plist_get_node_type(version) != PLIST_UINT) {
            fail("not a keyed archive: \"$version\" is not an integer");
            return std::nullopt;
        }
        plist_t objects = plist_dict_get_item(top, "$objects");
        if (!objects || plist_get_node_type(objects) != PLIST_ARRAY) {
            fail("not a keyed archive: \"$objects\" missing or not an array");
            return std::nullopt;
        }
        size_t count = plist_array_get_size(objects);
        if (count > limits_.maxObjects) {
            fail("archive has " + std::to_string(count) + " objects, more than the limit of " +
                 std::to_string(limits_.maxObjects));
            return std::nullopt;
        }
        objects_.reserve(count);
        forEachItem(objects, [&](plist_t item) {
            objects_.push_back(item);
            return true;
        });
        onPath_.assign(objects_.size(), 0);
        refCounts_.assign(objects_.size(), 0);
        for (plist_t entry : objects_) countRefs(entry);
        plist_t topRefs = plist_dict_get_item(top, "$top");
        if (!topRefs || plist_get_node_type(topRefs) != PLIST_DICT) {
            fail("not a keyed archive: \"$top\" missing or not a dictionary");
            return std::nullopt;
        }
        auto root = uidOf(plist_dict_get_item(topRefs, "root"));
        if (!root) {
            fail("\"$top\" has no \"root\" reference");
            return std::nullopt;
        }
        Decoded out;
        if (!decodeRef(*root, 1, out)) return std::nullopt;
        return std::move(out.value);
    }

    // Counts the references to each entry, so that only entries used in several places are
    // kept for reuse; the others are decoded once and moved into place.
    void countRefs(plist_t node) {
        if (auto uid = uidOf(node)) {
            if (*uid < refCounts_.size() && refCounts_[*uid] < 2) ++refCounts_[*uid];
            return;
        }
        auto type = plist_get_node_type(node);
        if (type == PLIST_ARRAY) {
            forEachItem(node, [&](plist_t item) {
                countRefs(item);
                return true;
            });
        } else if (type == PLIST_DICT) {
            forEachEntry(node, [&](const std::string&, plist_t item) {
                countRefs(item);
                return true;
            });
        }
    }

    // Decodes the "$objects" entry uid for a place at the given depth (1 for the root).
    bool decodeRef(uint64_t uid, size_t depth, Decoded& out) {
        if (uid == 0) {  // "$null": nil
            out = {Value(Null{}), 0};
            return charge(sizeof(Value));
        }
        if (uid >= objects_.size())
            return fail("reference " + std::to_string(uid) + " is out of range (" +
                        std::to_string(objects_.size()) + " objects)");
        plist_t node = objects_[uid];
        switch (plist_get_node_type(node)) {
            case PLIST_DICT:
                return decodeInstance(uid, node, depth, out);
            case PLIST_BOOLEAN:
            case PLIST_UINT:
            case PLIST_REAL:
            case PLIST_STRING:
            case PLIST_DATA:
            case PLIST_DATE:
                return decodeScalar(node, out);
            default:
                return fail(std::string("object ") + std::to_string(uid) + " is an unexpected " +
                            typeName(node));
        }
    }

    bool decodeScalar(plist_t node, Decoded& out) {
        std::string error;
        auto v = detail::nodeToValue(node, 0, &error);
        if (!v) return fail(error);
        size_t payload = 0;
        if (auto s = v->string()) payload = s->size();
        if (auto d = v->data()) payload = d->size();
        out = {std::move(*v), 0};
        return charge(sizeof(Value) + payload);
    }

    // An entry that is a dictionary: an instance described by its "$class".
    bool decodeInstance(uint64_t uid, plist_t node, size_t depth, Decoded& out) {
        if (auto m = memo_.find(uid); m != memo_.end()) {
            if (depth + m->second.height - 1 > limits_.maxDepth) return tooDeep();
            if (!charge(m->second.cost)) return false;
            out = {m->second.value, m->second.height};
            return true;
        }
        if (onPath_[uid]) return fail("cyclic archive");
        auto cls = classOf(node);
        if (!cls) return false;
        const std::string& name = cls->name;
        auto f = foundationClasses().find(name);
        bool isContainer =
            f == foundationClasses().end() || f->second == Kind::Array || f->second == Kind::Dictionary;
        if (isContainer && depth > limits_.maxDepth) return tooDeep();
        if (f == foundationClasses().end() && !allowed_.count(name))
            return fail("class \"" + name + "\" is not allowed");

        size_t usedBefore = used_;
        onPath_[uid] = 1;
        bool ok = false;
        if (f == foundationClasses().end()) {
            ok = decodeObject(name, node, depth, out);
        } else {
            switch (f->second) {
                case Kind::Array:
                    ok = decodeArray(node, depth, out);
                    break;
                case Kind::Dictionary:
                    ok = decodeDictionary(node, depth, out);
                    break;
                case Kind::String:
                    ok = decodeWrapped(node, "NS.string", PLIST_STRING, depth, out);
                    break;
                case Kind::Data:
                    ok = decodeWrapped(node, "NS.data", PLIST_DATA, depth, out);
                    break;
                case Kind::Date:
                    ok = decodeDate(node, out);
                    break;
                case Kind::Null:
                    out = {Value(Null{}), 0};
                    ok = charge(sizeof(Value));
                    break;
            }
        }
        onPath_[uid] = 0;
        if (!ok) return false;
        if (refCounts_[uid] > 1) {
            // A shared Object is one instance wherever it appears; other values are copied.
            size_t cost = out.value.isObject() ? sizeof(Value) : used_ - usedBefore;
            memo_.emplace(uid, Memo{out.value, out.height, cost});
        }
        return true;
    }

    bool tooDeep() {
        return fail("archive nested deeper than " + std::to_string(limits_.maxDepth) + " levels");
    }

    std::optional<ClassInfo> classOf(plist_t node) {
        plist_t ref = plist_dict_get_item(node, "$class");
        if (!ref) {
            fail("object without \"$class\"");
            return std::nullopt;
        }
        auto uid = uidOf(ref);
        if (!uid) {
            fail("\"$class\" is not a reference");
            return std::nullopt;
        }
        if (auto it = classes_.find(*uid); it != classes_.end()) return it->second;
        if (*uid == 0 || *uid >= objects_.size()) {
            fail("class reference " + std::to_string(*uid) + " is out of range");
            return std::nullopt;
        }
        plist_t desc = objects_[*uid];
        plist_t name =
            plist_get_node_type(desc) == PLIST_DICT ? plist_dict_get_item(desc, "$classname") : nullptr;
        if (!name || plist_get_node_type(name) != PLIST_STRING) {
            fail("class description " + std::to_string(*uid) + " has no \"$classname\"");
            return std::nullopt;
        }
        plist_t chain = plist_dict_get_item(desc, "$classes");
        if (chain) {
            bool ok = plist_get_node_type(chain) == PLIST_ARRAY && forEachItem(chain, [](plist_t item) {
                          return plist_get_node_type(item) == PLIST_STRING;
                      });
            if (!ok) {
                fail("class description " + std::to_string(*uid) + " has a malformed \"$classes\"");
                return std::nullopt;
            }
        }
        ClassInfo info{detail::nodeString(name)};
        classes_.emplace(*uid, info);
        return info;
    }

    // Collects the references of "NS.keys" or "NS.objects".
    bool refList(plist_t node, const char* key, std::vector<uint64_t>& out) {
        plist_t list = plist_dict_get_item(node, key);
        if (!list || plist_get_node_type(list) != PLIST_ARRAY)
            return fail(std::string("\"") + key + "\" is not an array");
        return forEachItem(list, [&](plist_t item) {
            auto uid = uidOf(item);
            if (!uid) return fail(std::string("\"") + key + "\" holds a value that is not a reference");
            out.push_back(*uid);
            return true;
        });
    }

    bool decodeArray(plist_t node, size_t depth, Decoded& out) {
        std::vector<uint64_t> refs;
        if (!refList(node, "NS.objects", refs)) return false;
        if (!charge(sizeof(Value))) return false;
        Array arr;
        arr.reserve(refs.size());
        size_t height = 0;
        for (uint64_t r : refs) {
            Decoded item;
            if (!decodeRef(r, depth + 1, item)) return false;
            height = std::max(height, item.height);
            arr.push_back(std::move(item.value));
        }
        out = {Value(std::move(arr)), height + 1};
        return true;
    }

    bool decodeDictionary(plist_t node, size_t depth, Decoded& out) {
        std::vector<uint64_t> keys, values;
        if (!refList(node, "NS.keys", keys) || !refList(node, "NS.objects", values)) return false;
        if (keys.size() != values.size()) return fail("\"NS.keys\" and \"NS.objects\" differ in length");
        if (!charge(sizeof(Value))) return false;
        Dictionary dict;
        size_t height = 0;
        for (size_t i = 0; i < keys.size(); ++i) {
            Decoded key, value;
            if (!decodeRef(keys[i], depth + 1, key)) return false;
            if (!key.value.isString()) return fail("dictionary key is not a string");
            if (!decodeRef(values[i], depth + 1, value)) return false;
            height = std::max(height, value.height);
            dict.insert_or_assign(*key.value.string(), std::move(value.value));
        }
        out = {Value(std::move(dict)), height + 1};
        return true;
    }

    // NSString and NSData objects: the payload under key, inline or by reference.
    bool decodeWrapped(plist_t node, const char* key, plist_type type, size_t depth, Decoded& out) {
        plist_t payload = plist_dict_get_item(node, key);
        if (!payload) return fail(std::string("object without \"") + key + "\"");
        if (auto uid = uidOf(payload)) {
            if (!decodeRef(*uid, depth + 1, out)) return false;
            bool match = type == PLIST_STRING ? out.value.isString() : out.value.isData();
            return match || fail(std::string("\"") + key + "\" has the wrong type");
        }
        if (plist_get_node_type(payload) != type)
            return fail(std::string("\"") + key + "\" has the wrong type");
        return decodeScalar(payload, out);
    }

    bool decodeDate(plist_t node, Decoded& out) {
        plist_t t = plist_dict_get_item(node, "NS.time");
        double seconds = 0;
        if (t && plist_get_node_type(t) == PLIST_REAL) {
            plist_get_real_val(t, &seconds);
        } else if (t && plist_get_node_type(t) == PLIST_UINT) {
            uint64_t u = 0;
            plist_get_uint_val(t, &u);
            seconds = static_cast<double>(static_cast<int64_t>(u));
        } else {
            return fail("NSDate without a numeric \"NS.time\"");
        }
        out = {Value(Date{seconds + detail::kReferenceDateOffset}), 0};
        return charge(sizeof(Value));
    }

    // An allowed record class: every key but the archiver's own is a field.
    bool decodeObject(const std::string& name, plist_t node, size_t depth, Decoded& out) {
        Object obj;
        obj.className = name;
        size_t height = 0;
        bool ok = forEachEntry(node, [&](const std::string& key, plist_t item) {
            if (key.empty() || (key[0] == '$' && key.compare(0, 2, "$$") != 0)) return true;
            Decoded field;
            if (!decodeField(item, depth + 1, field)) return false;
            height = std::max(height, field.height);
            std::string fieldName = key[0] == '$' ? key.substr(1) : key;
            if (!charge(fieldName.size())) return false;
            obj.fields.insert_or_assign(std::move(fieldName), std::move(field.value));
            return true;
        });
        if (!ok || !charge(sizeof(Object))) return false;
        out = {Value(std::move(obj)), height + 1};
        return true;
    }

    // A field value: a reference, an inline scalar, or an inline array or dictionary of these.
    bool decodeField(plist_t item, size_t depth, Decoded& out) {
        if (auto uid = uidOf(item)) return decodeRef(*uid, depth, out);
        auto type = plist_get_node_type(item);
        if (type == PLIST_ARRAY || type == PLIST_DICT) {
            if (depth > limits_.maxDepth) return tooDeep();
            if (!charge(sizeof(Value))) return false;
            size_t height = 0;
            if (type == PLIST_ARRAY) {
                Array arr;
                bool ok = forEachItem(item, [&](plist_t child) {
                    Decoded d;
                    if (!decodeField(child, depth + 1, d)) return false;
                    height = std::max(height, d.height);
                    arr.push_back(std::move(d.value));
                    return true;
                });
                if (!ok) return false;
                out = {Value(std::move(arr)), height + 1};
            } else {
                Dictionary dict;
                bool ok = forEachEntry(item, [&](const std::string& key, plist_t child) {
                    Decoded d;
                    if (!decodeField(child, depth + 1, d) || !charge(key.size())) return false;
                    height = std::max(height, d.height);
                    dict.insert_or_assign(key, std::move(d.value));
                    return true;
                });
                if (!ok) return false;
                out = {Value(std::move(dict)), height + 1};
            }
            return true;
        }
        if (type == PLIST_UID || type == PLIST_KEY) return fail("malformed field value");
        return decodeScalar(item, out);
    }

    const ClassAllowList& allowed_;
    const DecodeLimits& limits_;
    std::vector<plist_t> objects_;
    std::vector<uint8_t> onPath_;
    std::vector<uint8_t> refCounts_;  // 0, 1 or 2 meaning "several"
    std::unordered_map<uint64_t, Memo> memo_;
    std::unordered_map<uint64_t, ClassInfo> classes_;
    size_t used_ = 0;
    std::string error_;
};

DecodeResult failure(std::string error) {
    DecodeResult r;
    r.error = std::move(error);
    return r;
}

DecodeResult unarchiveFile(const std::string& path, std::optional<uid_t> owner, const ClassAllowList& allowed,
                           const DecodeLimits& limits) {
    auto bytes = fileio::readUserFile(path, owner, limits.maxBytes);
    if (!bytes) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return failure("no file at " + path);
        return failure("cannot read " + path +
                       " (a symlink, not a regular file, another owner, unreadable or larger than " +
                       std::to_string(limits.maxBytes) + " bytes)");
    }
    return unarchive(*bytes, allowed, limits);
}

}  // namespace

std::optional<Data> archivedData(const Value& root, PlistFormat format) {
    Encoder encoder(DecodeLimits{}.maxDepth);
    auto rootUid = encoder.encode(root, 1);
    if (!rootUid) return std::nullopt;
    PlistPtr top = encoder.finish(*rootUid);
    return detail::writeNode(top.get(), format);
}

DecodeResult unarchive(std::span<const uint8_t> bytes, const ClassAllowList& allowed,
                       const DecodeLimits& limits) {
    if (bytes.empty()) return failure("empty archive");
    if (bytes.size() > limits.maxBytes)
        return failure("archive of " + std::to_string(bytes.size()) + " bytes is larger than the limit of " +
                       std::to_string(limits.maxBytes));
    // A keyed archive's plist nests a few levels around the object graph; each plist value is
    // at least one byte of its file unless containers are shared, which archives never do.
    detail::ShapeLimits shape;
    shape.maxDepth = limits.maxDepth + 8;
    shape.maxNodes = std::min<size_t>(bytes.size() + 16, limits.maxObjects * 8 + 4096);
    std::string error;
    PlistPtr top = detail::parseNode(bytes, shape, &error);
    if (!top) return failure("not a property list: " + error);
    return Decoder(allowed, limits).run(top.get());
}

bool archiveRootObjectToFile(const Value& root, const std::string& path, mode_t mode) {
    auto data = archivedData(root, PlistFormat::Binary);
    return data && fileio::writeFileAtomically(path, *data, mode);
}

DecodeResult unarchiveObjectWithFile(const std::string& path, const ClassAllowList& allowed,
                                     const DecodeLimits& limits) {
    return unarchiveFile(path, std::nullopt, allowed, limits);
}

DecodeResult unarchiveUserFile(const std::string& path, uid_t owner, const ClassAllowList& allowed,
                               const DecodeLimits& limits) {
    return unarchiveFile(path, owner, allowed, limits);
}

}  // namespace archive
