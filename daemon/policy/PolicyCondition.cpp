#include "PolicyCondition.h"

#include <cctype>
#include <charconv>
#include <strings.h>

#include "SqliteStatement.h"

namespace policydb {

namespace {

constexpr const char* kColumns[] = {"policy_moudle", "policy_id", "policy_version", "md5",     "runCycle",
                                    "max_timeout",   "run_state", "deadline",       "content"};

struct Token {
    enum Kind { Word, Number, Text, Equals } kind;
    std::string text;
};

bool sameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Splits the text into tokens; nothing at the first character the grammar does not know.
std::optional<std::vector<Token>> tokenize(std::string_view s) {
    std::vector<Token> out;
    size_t i = 0;
    auto isWordStart = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; };
    auto isWordChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < s.size()) {
        char c = s[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++i;
        } else if (c == '=') {
            out.push_back({Token::Equals, "="});
            ++i;
        } else if (isWordStart(c)) {
            size_t b = i;
            while (i < s.size() && isWordChar(s[i])) ++i;
            out.push_back({Token::Word, std::string(s.substr(b, i - b))});
        } else if (isDigit(c) || (c == '-' && i + 1 < s.size() && isDigit(s[i + 1]))) {
            size_t b = i++;
            while (i < s.size() && isDigit(s[i])) ++i;
            if (i < s.size() && s[i] == '.') {
                ++i;
                if (i >= s.size() || !isDigit(s[i])) return std::nullopt;
                while (i < s.size() && isDigit(s[i])) ++i;
            }
            if (i < s.size() && isWordChar(s[i])) return std::nullopt;  // "12abc"
            out.push_back({Token::Number, std::string(s.substr(b, i - b))});
        } else if (c == '\'') {
            std::string text;
            ++i;
            for (;;) {
                if (i >= s.size()) return std::nullopt;  // unterminated
                if (s[i] == '\'') {
                    if (i + 1 < s.size() && s[i + 1] == '\'') {
                        text.push_back('\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                text.push_back(s[i++]);
            }
            out.push_back({Token::Text, std::move(text)});
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::optional<ConditionValue> numberValue(const std::string& t) {
    const char* b = t.data();
    const char* e = t.data() + t.size();
    if (t.find('.') == std::string::npos) {
        int64_t v = 0;
        auto r = std::from_chars(b, e, v);
        if (r.ec != std::errc() || r.ptr != e) return std::nullopt;  // out of the 64-bit range
        return ConditionValue(v);
    }
    double d = 0;
    auto r = std::from_chars(b, e, d);
    if (r.ec != std::errc() || r.ptr != e) return std::nullopt;
    return ConditionValue(d);
}

}  // namespace

const char* policyColumnNamed(std::string_view name) {
    for (const char* c : kColumns) {
        if (sameWord(name, c)) return c;
    }
    return nullptr;
}

std::optional<PolicyCondition> PolicyCondition::parse(std::string_view text) {
    if (text.size() > kMaxTextBytes) return std::nullopt;
    auto tokens = tokenize(text);
    if (!tokens) return std::nullopt;
    PolicyCondition out;
    if (tokens->empty()) return out;
    const auto& t = *tokens;
    if (t[0].kind != Token::Word || !sameWord(t[0].text, "where")) return std::nullopt;
    size_t i = 1;
    size_t count = 0;
    Group group;
    for (;;) {
        // column = value
        if (i + 2 >= t.size()) return std::nullopt;
        if (t[i].kind != Token::Word || t[i + 1].kind != Token::Equals) return std::nullopt;
        const char* column = policyColumnNamed(t[i].text);
        if (!column) return std::nullopt;
        const Token& v = t[i + 2];
        std::optional<ConditionValue> value;
        if (v.kind == Token::Number) value = numberValue(v.text);
        else if (v.kind == Token::Text) value = ConditionValue(v.text);
        if (!value) return std::nullopt;
        if (++count > kMaxEqualities) return std::nullopt;
        group.push_back({column, std::move(*value)});
        i += 3;
        if (i == t.size()) break;
        if (t[i].kind != Token::Word) return std::nullopt;
        if (sameWord(t[i].text, "or")) {
            out.groups_.push_back(std::move(group));
            group.clear();
        } else if (!sameWord(t[i].text, "and")) {
            return std::nullopt;
        }
        ++i;
    }
    out.groups_.push_back(std::move(group));
    return out;
}

std::optional<PolicyCondition> PolicyCondition::equals(std::string_view column, ConditionValue value) {
    const char* name = policyColumnNamed(column);
    if (!name) return std::nullopt;
    PolicyCondition out;
    out.groups_.push_back({{name, std::move(value)}});
    return out;
}

PolicyCondition PolicyCondition::policyId(int64_t id) {
    return *equals("policy_id", id);
}

PolicyCondition PolicyCondition::policyIdAndVersion(int64_t id, int64_t version) {
    PolicyCondition out;
    out.groups_.push_back({{"policy_id", id}, {"policy_version", version}});
    return out;
}

PolicyCondition PolicyCondition::anyPolicyId(const std::vector<int64_t>& ids) {
    PolicyCondition out;
    if (ids.empty()) out.matchesNone_ = true;
    for (int64_t id : ids) out.groups_.push_back({{"policy_id", id}});
    return out;
}

std::string PolicyCondition::sql() const {
    if (matchesNone_) return " WHERE 0";
    if (groups_.empty()) return "";
    std::string s = " WHERE ";
    for (size_t g = 0; g < groups_.size(); ++g) {
        if (g) s += " OR ";
        s += "(";
        for (size_t e = 0; e < groups_[g].size(); ++e) {
            if (e) s += " AND ";
            s += groups_[g][e].column;
            s += " = ?";
        }
        s += ")";
    }
    return s;
}

int PolicyCondition::bind(Statement& statement, int index) const {
    for (const auto& group : groups_) {
        for (const auto& eq : group) {
            if (auto* i = std::get_if<int64_t>(&eq.value)) statement.bindInt(index, *i);
            else if (auto* d = std::get_if<double>(&eq.value)) statement.bindDouble(index, *d);
            else statement.bindText(index, std::get<std::string>(eq.value));
            ++index;
        }
    }
    return index;
}

}  // namespace policydb
