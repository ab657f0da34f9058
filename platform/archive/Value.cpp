#include "Value.h"

#include <cmath>
#include <limits>

namespace archive {

bool Object::operator==(const Object& other) const {
    return className == other.className && fields == other.fields;
}

Value::Value(const Value&) = default;
Value::Value(Value&&) noexcept = default;
Value& Value::operator=(const Value&) = default;
Value& Value::operator=(Value&&) noexcept = default;
Value::~Value() = default;

const Object* Value::object() const {
    auto p = std::get_if<std::shared_ptr<const Object>>(&v_);
    return p ? p->get() : nullptr;
}

std::shared_ptr<const Object> Value::sharedObject() const {
    auto p = std::get_if<std::shared_ptr<const Object>>(&v_);
    return p ? *p : nullptr;
}

std::optional<Date> Value::date() const {
    if (auto d = std::get_if<Date>(&v_)) return *d;
    return std::nullopt;
}

std::optional<int64_t> Value::integer() const {
    if (auto i = std::get_if<int64_t>(&v_)) return *i;
    if (auto b = std::get_if<bool>(&v_)) return *b ? 1 : 0;
    if (auto d = std::get_if<double>(&v_)) {
        // Truncates toward zero like longLongValue; saturates instead of overflowing.
        if (std::isnan(*d)) return std::nullopt;
        if (*d >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
        if (*d < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(*d);
    }
    return std::nullopt;
}

std::optional<double> Value::real() const {
    if (auto d = std::get_if<double>(&v_)) return *d;
    if (auto i = std::get_if<int64_t>(&v_)) return static_cast<double>(*i);
    if (auto b = std::get_if<bool>(&v_)) return *b ? 1.0 : 0.0;
    return std::nullopt;
}

std::optional<bool> Value::boolean() const {
    if (auto b = std::get_if<bool>(&v_)) return *b;
    if (auto i = std::get_if<int64_t>(&v_)) return *i != 0;
    if (auto d = std::get_if<double>(&v_)) return *d != 0.0;
    return std::nullopt;
}

const Value* Value::find(const std::string& key) const {
    auto d = std::get_if<Dictionary>(&v_);
    if (!d) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

bool Value::operator==(const Value& other) const {
    if (v_.index() != other.v_.index()) return false;
    if (isObject()) {
        // Objects compare by content: a decoded archive yields new instances.
        const Object* a = object();
        const Object* b = other.object();
        if (a == b) return true;
        return a && b && *a == *b;
    }
    return v_ == other.v_;
}

}  // namespace archive
