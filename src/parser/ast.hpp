// The syntax tree of a formula.  Every node is plain, trivially destructible
// data placed in an `Arena`: building a tree costs no allocation per node for
// short formulas, and dropping it (however deep) is freeing the arena's chunks.
// Names are views into the formula text, which must outlive the tree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "parser/language.hpp"

namespace morvax {

// Bump allocator for syntax trees.  Not movable: trees point into its inline
// buffer.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    template <class T>
    T* allocate(std::size_t n) {
        static_assert(std::is_trivially_destructible_v<T>);
        if (n == 0) return nullptr;
        return static_cast<T*>(raw(sizeof(T) * n, alignof(T)));
    }

    template <class T, class... Args>
    T* make(Args&&... args) {
        return ::new (allocate<T>(1)) T{std::forward<Args>(args)...};
    }

    // Where the next allocation goes: rewind(mark()) gives back everything
    // allocated after it, for reuse.
    struct Mark {
        std::byte* at;
        std::size_t chunks;
    };
    Mark mark() const { return {cur_, chunks_.size()}; }
    // Only within the chunk the mark was taken in: when a chunk was started
    // since, everything stays allocated (rare: only what is kept fills chunks).
    void rewind(Mark m) {
        if (m.chunks == chunks_.size()) cur_ = m.at;
    }
    // Gives back everything allocated; nothing allocated before may be used.
    void release() {
        std::vector<std::unique_ptr<std::byte[]>>().swap(chunks_);
        cur_ = inline_;
        end_ = inline_ + sizeof(inline_);
    }

private:
    // Inline where it fits the chunk in use, as nearly every allocation does.
    void* raw(std::size_t size, std::size_t align) {
        const auto aligned = (reinterpret_cast<std::uintptr_t>(cur_) + align - 1) & ~(std::uintptr_t{align} - 1);
        if (aligned + size > reinterpret_cast<std::uintptr_t>(end_)) return raw_in_new_chunk(size, align);
        cur_ = reinterpret_cast<std::byte*>(aligned + size);
        return reinterpret_cast<std::byte*>(aligned);
    }
    void* raw_in_new_chunk(std::size_t size, std::size_t align);

    alignas(std::max_align_t) std::byte inline_[2048];
    std::byte* cur_ = inline_;
    std::byte* end_ = inline_ + sizeof(inline_);
    std::vector<std::unique_ptr<std::byte[]>> chunks_;
    std::size_t next_chunk_ = 4096;
};

// A fixed sequence of arena-placed items.
template <class T>
struct List {
    const T* items = nullptr;
    std::size_t count = 0;

    const T* begin() const { return items; }
    const T* end() const { return items + count; }
    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    const T& operator[](std::size_t i) const { return items[i]; }
};

enum class AddOperator : std::uint8_t { Add, Subtract };
enum class MulOperator : std::uint8_t { Multiply, Divide, Modulo };
enum class Sign : std::uint8_t { None, Plus, Minus };
using Index = std::optional<std::size_t>;

struct Expression;
struct BooleanExpression;
struct CaseClause;

struct NumberLiteral {
    double value;
};
struct NodeReference {
    std::string_view name;
    Index index;
};
struct ChildrenReference {
    Index index;
};
struct RightReference {
    Index index;
};
struct ModifierCall {
    ModifierName name;
    NodeReference reference;
};
struct FunctionCall {
    FunctionName name;
    List<Expression> args;
};
struct AggregationCall {
    AggregationName name;
    std::optional<List<Expression>> args;  // absent reads as empty
};
struct ConditionalCall {
    ConditionalName name;
    List<CaseClause> clauses;
    const Expression* default_value;  // null: no default
};
struct EmptyLiteral {};
struct Parenthesised {
    const Expression* inner;
};

using AtomicExpression =
    std::variant<NumberLiteral, NodeReference, ChildrenReference, RightReference, ModifierCall,
                 FunctionCall, AggregationCall, ConditionalCall, EmptyLiteral, Parenthesised>;

// The position of alternative T in the variant V, to name the cases of a
// `switch (v.index())` in a hot path where a visit would cost more.
template <class T, class V>
struct VariantIndex;
template <class T, class... Ts>
struct VariantIndex<T, std::variant<Ts...>> {
    static constexpr std::size_t value = [] {
        constexpr bool same[] = {std::is_same_v<T, Ts>...};
        std::size_t i = 0;
        while (!same[i]) ++i;  // past the end, for a T not in V, does not compile
        return i;
    }();
};
template <class T, class V>
inline constexpr std::size_t variant_index = VariantIndex<T, V>::value;
// The case of alternative T in `switch (atomic.index())`.
template <class T>
inline constexpr std::size_t atomic_index = variant_index<T, AtomicExpression>;

struct UnaryExpression {
    AtomicExpression operand;
    Sign sign;
};

struct PowerExpression {
    UnaryExpression base;
    List<UnaryExpression> exponents;
};

struct MultiplicationOperation {
    MulOperator op;
    PowerExpression operand;
};

struct MultiplicationExpression {
    PowerExpression first;
    List<MultiplicationOperation> rest;
};

struct AdditionOperation {
    AddOperator op;
    MultiplicationExpression operand;
};

struct Expression {
    MultiplicationExpression first;
    List<AdditionOperation> rest;
};

struct Comparison {
    const Expression* left;
    ComparisonOperator op;
    const Expression* right;
};
struct BareCondition {
    const Expression* expression;
};
struct ParenthesisedCondition {
    const BooleanExpression* inner;
};
using ComparisonExpression = std::variant<Comparison, BareCondition, ParenthesisedCondition>;

struct NegationExpression {
    ComparisonExpression comparison;
    bool negated;
};

struct AndExpression {
    NegationExpression first;
    List<NegationExpression> rest;
};

struct OrExpression {
    AndExpression first;
    List<AndExpression> rest;
};

struct BooleanExpression {
    OrExpression or_expression;
};

struct CaseClause {
    BooleanExpression condition;
    const Expression* result;
};

// The root of a parsed formula.
struct Value {
    enum class Kind : std::uint8_t { Number, Expression, Empty };
    Kind kind = Kind::Empty;
    double number = 0;
    const morvax::Expression* expression = nullptr;
};

static_assert(std::is_trivially_destructible_v<Expression>);
static_assert(std::is_trivially_destructible_v<BooleanExpression>);

}  // namespace morvax
