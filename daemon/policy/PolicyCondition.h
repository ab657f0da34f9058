// Conditions on rows of the `policy` table, kept as data rather than SQL text: equalities on
// known columns, joined by "and", with "or" between the groups. A condition that arrives as text
// (from the policy runner over the message port) is parsed from a small grammar; anything outside
// it is refused, so no caller's text ever becomes part of a statement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace policydb {

class Statement;

using ConditionValue = std::variant<int64_t, double, std::string>;

class PolicyCondition {
  public:
    struct Equality {
        const char* column;  // always one of the policy table's column names
        ConditionValue value;
    };
    using Group = std::vector<Equality>;  // all must hold

    static constexpr size_t kMaxTextBytes = 64 * 1024;
    static constexpr size_t kMaxEqualities = 500;

    // Every row.
    PolicyCondition() = default;

    // Text of the form "where col = value [and col = value ...] [or col = value ...]", keywords in
    // any letter case, values integers, decimals or single-quoted text ('' for a quote). Blank
    // text means every row. Nothing for any other text, an unknown column, or text beyond the limits.
    static std::optional<PolicyCondition> parse(std::string_view text);

    // One equality; nothing when the column is not one of the policy table's.
    static std::optional<PolicyCondition> equals(std::string_view column, ConditionValue value);
    static PolicyCondition policyId(int64_t id);
    static PolicyCondition policyIdAndVersion(int64_t id, int64_t version);
    // Rows whose policy_id is any of the ids; no ids: no rows at all.
    static PolicyCondition anyPolicyId(const std::vector<int64_t>& ids);

    bool matchesAll() const { return groups_.empty() && !matchesNone_; }
    const std::vector<Group>& groups() const { return groups_; }

    // " WHERE (a = ? AND b = ?) OR (...)", "" for every row, " WHERE 0" for none; the placeholders
    // are filled by bind() from the given first index on.
    std::string sql() const;
    // Binds the values in the order of sql(); returns the next free index.
    int bind(Statement& statement, int firstIndex) const;

  private:
    std::vector<Group> groups_;
    bool matchesNone_ = false;
};

// The canonical name of one of the nine policy columns (pkid is not one) given in any letter case;
// null when it is not one.
const char* policyColumnNamed(std::string_view name);

}  // namespace policydb
