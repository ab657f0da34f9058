// A property-list value: what plists and keyed archives hold. Archived objects of record
// classes appear as Object values carrying their class name and their coded fields.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace archive {

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;
using Data = std::vector<uint8_t>;

struct Null {
    bool operator==(const Null&) const = default;
};

// An absolute time as seconds since 1 January 1970 UTC.
struct Date {
    double secondsSince1970 = 0;
    bool operator==(const Date&) const = default;
};

// An archived instance of a class other than the Foundation collections and scalars:
// the class name and each property coded under its own key.
struct Object {
    std::string className;
    Dictionary fields;
    bool operator==(const Object&) const;
};

class Value {
  public:
    using Storage = std::variant<Null, bool, int64_t, double, std::string, Data, Date, Array, Dictionary,
                                 std::shared_ptr<const Object>>;

    Value() = default;
    // Out of line: g++ 12 inlines std::variant's copy and move into every caller and then
    // reports false "may be used uninitialized" warnings, which -Werror turns into errors.
    Value(const Value&);
    Value(Value&&) noexcept;
    Value& operator=(const Value&);
    Value& operator=(Value&&) noexcept;
    ~Value();

    Value(Null) {}
    Value(bool b) : v_(b) {}
    Value(int v) : v_(static_cast<int64_t>(v)) {}
    Value(unsigned v) : v_(static_cast<int64_t>(v)) {}
    Value(long v) : v_(static_cast<int64_t>(v)) {}
    Value(long long v) : v_(static_cast<int64_t>(v)) {}
    Value(unsigned long v) : v_(static_cast<int64_t>(v)) {}
    Value(unsigned long long v) : v_(static_cast<int64_t>(v)) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(Data d) : v_(std::move(d)) {}
    Value(Date d) : v_(d) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}
    Value(Object o) : v_(std::make_shared<const Object>(std::move(o))) {}
    // Shares one object: archiving writes it once and refers to it from every place.
    Value(std::shared_ptr<const Object> o) : v_(std::move(o)) {}

    bool isNull() const { return std::holds_alternative<Null>(v_); }
    bool isBool() const { return std::holds_alternative<bool>(v_); }
    bool isInteger() const { return std::holds_alternative<int64_t>(v_); }
    bool isReal() const { return std::holds_alternative<double>(v_); }
    bool isNumber() const { return isBool() || isInteger() || isReal(); }
    bool isString() const { return std::holds_alternative<std::string>(v_); }
    bool isData() const { return std::holds_alternative<Data>(v_); }
    bool isDate() const { return std::holds_alternative<Date>(v_); }
    bool isArray() const { return std::holds_alternative<Array>(v_); }
    bool isDictionary() const { return std::holds_alternative<Dictionary>(v_); }
    bool isObject() const { return std::holds_alternative<std::shared_ptr<const Object>>(v_); }

    // Typed access: nullptr (or empty) when the value holds another type.
    const std::string* string() const { return std::get_if<std::string>(&v_); }
    const Data* data() const { return std::get_if<Data>(&v_); }
    const Array* array() const { return std::get_if<Array>(&v_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&v_); }
    Array* array() { return std::get_if<Array>(&v_); }
    Dictionary* dictionary() { return std::get_if<Dictionary>(&v_); }
    const Object* object() const;
    std::shared_ptr<const Object> sharedObject() const;
    std::optional<Date> date() const;
    // Numbers convert between integer, real and bool as NSNumber does.
    std::optional<int64_t> integer() const;
    std::optional<double> real() const;
    std::optional<bool> boolean() const;

    // Dictionary lookup; nullptr when this is not a dictionary or the key is absent.
    const Value* find(const std::string& key) const;

    const Storage& storage() const { return v_; }
    bool operator==(const Value& other) const;

  private:
    Storage v_;
};

}  // namespace archive
