// The vocabulary of evaluation: results, errors, the evaluator's notes, the
// tree's Node, and the one way a number is printed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "eval/anydim.hpp"

namespace morvax {

enum class EvalError : std::uint8_t { Error, Ref, Many, Value };

constexpr std::string_view error_text(EvalError e) {
    switch (e) {
        case EvalError::Error: return "ERROR!";
        case EvalError::Ref: return "REF!";
        case EvalError::Many: return "MANY!";
        case EvalError::Value: return "VALUE!";
    }
    return "ERROR!";
}

// Ten decimals, half away from zero, trailing zeros and point removed;
// "inf", "-inf" and "NaN" for the non-finite numbers.
std::string format_number(double x);

// Appends format_number(x) to `out` without an intermediate string.
void append_number(std::string& out, double x);

// Room that write_number may fill: the largest finite double in fixed
// notation (309 digits), sign, point and ten decimals.
inline constexpr std::size_t kNumberTextMax = 340;

// Writes format_number(x) at `out`, which has kNumberTextMax bytes of room;
// returns the end of the text.
char* write_number(char* out, double x);

class EvalResult {
public:
    enum class Kind : std::uint8_t { Number, Empty, Error };

    constexpr EvalResult() = default;  // Empty
    static constexpr EvalResult number(double x) { return EvalResult(Kind::Number, x, {}); }
    static constexpr EvalResult empty() { return EvalResult(); }
    static constexpr EvalResult error(EvalError e) { return EvalResult(Kind::Error, 0, e); }
    // The result whose fields read back as given: for tables that store the
    // fields packed rather than whole results.
    static constexpr EvalResult from_parts(Kind k, double v, EvalError e) { return EvalResult(k, v, e); }

    Kind kind() const { return kind_; }
    bool is_number() const { return kind_ == Kind::Number; }
    bool is_empty() const { return kind_ == Kind::Empty; }
    bool is_error() const { return kind_ == Kind::Error; }
    double value() const { return value_; }
    EvalError error_kind() const { return error_; }

    // Same variant; numbers equal under IEEE rules (NaN equals nothing).
    bool operator==(const EvalResult& other) const {
        if (kind_ != other.kind_) return false;
        if (kind_ == Kind::Number) return value_ == other.value_;
        if (kind_ == Kind::Error) return error_ == other.error_;
        return true;
    }

    std::string to_string() const;
    void append_to(std::string& out) const;
    // Writes to_string() at `out`, which has kNumberTextMax bytes of room;
    // returns the end of the text.
    char* write_to(char* out) const;

    // How another node's value looks through a reference: every error is REF!.
    EvalResult as_own() const { return is_error() ? error(EvalError::Ref) : *this; }

private:
    constexpr EvalResult(Kind k, double v, EvalError e) : kind_(k), error_(e), value_(v) {}

    Kind kind_ = Kind::Empty;
    EvalError error_ = EvalError::Error;
    double value_ = 0;
};

// The outcome of evaluating one syntax-tree node: one result, or the several
// results of a bare reference that nothing has reduced to one yet.
class EvalNote {
public:
    // A Many's results, which a context may hand to several formulas.
    using List = std::shared_ptr<const std::vector<EvalResult>>;

    EvalNote(EvalResult r) : v_(r) {}  // NOLINT: a result is a Single note
    static EvalNote many(std::vector<EvalResult> list) {
        return EvalNote(std::make_shared<const std::vector<EvalResult>>(std::move(list)));
    }
    static EvalNote many_shared(List list) { return EvalNote(std::move(list)); }

    bool is_many() const { return v_.index() == 1; }
    const EvalResult& single() const { return std::get<0>(v_); }
    const std::vector<EvalResult>& list() const { return *std::get<1>(v_); }
    const List& shared_list() const { return std::get<1>(v_); }

    // A Many of any length is MANY!.
    EvalResult as_eval_result() const {
        return is_many() ? EvalResult::error(EvalError::Many) : single();
    }

private:
    explicit EvalNote(List list) : v_(std::move(list)) {}
    std::variant<EvalResult, List> v_;
};

// One node of a caller's tree, owned by the call that converted it.  Trees
// may be hundreds of thousands of levels deep, so nothing here recurses:
// destruction and cloning walk an explicit stack, and every other walk of a
// tree must do the same.
struct Node {
    std::string id;    // empty when the caller gave none; not unique
    std::string name;  // not unique; references match it exactly
    AnyDim<std::string> formula;
    AnyDim<EvalResult> value;
    bool is_hidden = false;
    AnyDim<std::string> cells;
    std::vector<Node> children;

    Node() = default;
    Node(Node&&) noexcept = default;
    Node& operator=(Node&&) noexcept = default;
    Node(const Node&) = delete;  // use clone(): a copy must not recurse
    Node& operator=(const Node&) = delete;
    ~Node();

    // A deep copy.
    Node clone() const;
    // A copy of this node's own fields, with no children.
    Node clone_fields() const;
};

}  // namespace morvax
