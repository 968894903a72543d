#include "eval/formula_shapes.hpp"

#include <array>
#include <cstring>

#include "eval/text_ids.hpp"
#include "parser/grammar.hpp"
#include "parser/numbers.hpp"

namespace morvax {
namespace {

// What a byte is to the mask: a digit, a byte a digit after which continues
// a name (any byte of a non-ASCII character, which may continue one), or
// another.
enum ByteKind : std::uint8_t { kOther, kName, kDigit };
constexpr std::array<std::uint8_t, 256> kByteKind = [] {
    std::array<std::uint8_t, 256> kinds{};
    for (int b = 0; b < 256; ++b) {
        const bool letter = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
        kinds[b] = b >= '0' && b <= '9' ? kDigit : (letter || b == '_' || b >= 0x80) ? kName : kOther;
    }
    return kinds;
}();

// The fields of a tree's literals, in the order of its text: the order the
// direct reading noted them in. The tree's nodes were made in an arena, not
// as constants, so that its literals may be set (hence const_cast).
class Sites {
public:
    explicit Sites(std::vector<FormulaShapes::Site>& out) : out_(out) {}

    // False for a tree with conditionals, which are not shared, or nesting
    // deeper than a shallow stack's parse goes: the walk recurses as the
    // parse did, on the stack the parse of one text would have used.
    bool expression(const Expression& e) {
        if (depth_ > kShallowNesting) return false;
        ++depth_;
        bool all = product(e.first);
        for (const AdditionOperation& op : e.rest) all = all && product(op.operand);
        --depth_;
        return all;
    }

private:
    bool product(const MultiplicationExpression& m) {
        if (!power(m.first)) return false;
        for (const MultiplicationOperation& op : m.rest) {
            if (!power(op.operand)) return false;
        }
        return true;
    }
    bool power(const PowerExpression& p) {
        if (!atomic(p.base.operand)) return false;
        for (const UnaryExpression& u : p.exponents) {
            if (!atomic(u.operand)) return false;
        }
        return true;
    }
    bool atomic(const AtomicExpression& a) {
        switch (a.index()) {
            case atomic_index<NumberLiteral>:
                out_.push_back({const_cast<double*>(&std::get<NumberLiteral>(a).value), nullptr, 0, 0});
                return true;
            case atomic_index<NodeReference>: add(std::get<NodeReference>(a).index); return true;
            case atomic_index<ChildrenReference>: add(std::get<ChildrenReference>(a).index); return true;
            case atomic_index<RightReference>: add(std::get<RightReference>(a).index); return true;
            case atomic_index<ModifierCall>: add(std::get<ModifierCall>(a).reference.index); return true;
            case atomic_index<FunctionCall>: return all(std::get<FunctionCall>(a).args);
            case atomic_index<AggregationCall>: {
                const auto& args = std::get<AggregationCall>(a).args;
                return !args || all(*args);
            }
            case atomic_index<Parenthesised>: return expression(*std::get<Parenthesised>(a).inner);
            case atomic_index<EmptyLiteral>: return true;
            default: return false;  // a conditional
        }
    }
    bool all(const List<Expression>& args) {
        for (const Expression& e : args) {
            if (!expression(e)) return false;
        }
        return true;
    }
    void add(const Index& index) {
        if (index) out_.push_back({nullptr, const_cast<Index*>(&index), 0, 0});
    }

    std::vector<FormulaShapes::Site>& out_;
    int depth_ = 0;  // expressions open
};

}  // namespace

std::string_view FormulaShapes::shape_of(std::string_view text) {
    key_.assign(text);
    char* out = key_.data();
    bool masked = false;  // the digit run met last is masked
    // Eight bytes at a time, the digits among them found at once: a text
    // has few.
    for (std::size_t word = 0; word < text.size(); word += 8) {
        std::uint64_t bytes = 0;
        if (word + 8 <= text.size()) {
            std::memcpy(&bytes, text.data() + word, 8);
        } else {
            std::memcpy(&bytes, text.data() + word, text.size() - word);
        }
        // A digit is a byte below 10 once '0' is taken off: it sets its high
        // bit here (as may a byte after one, which is checked below).
        const std::uint64_t x = bytes ^ 0x3030303030303030ull;
        std::uint64_t digits = (x - 0x0A0A0A0A0A0A0A0Aull) & ~x & 0x8080808080808080ull;
        for (; digits != 0; digits &= digits - 1) {
            const std::size_t i = word + static_cast<std::size_t>(__builtin_ctzll(digits)) / 8;
            if (i >= text.size() || kByteKind[static_cast<unsigned char>(text[i])] != kDigit) continue;
            // A run takes its mask from the byte before its first digit.
            const std::uint8_t before =
                i == 0 ? std::uint8_t{kOther} : kByteKind[static_cast<unsigned char>(text[i - 1])];
            if (before != kDigit) masked = before == kOther;
            if (masked) out[i] = '0';
        }
    }
    return key_;
}

bool FormulaShapes::masks_only_literals(std::string_view text, std::span<const direct::Literal> literals) {
    std::size_t next = 0;  // the first literal that does not end before i
    std::uint8_t before = kOther;
    bool masked = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::uint8_t kind = kByteKind[static_cast<unsigned char>(text[i])];
        if (kind == kDigit && before != kDigit) masked = before == kOther;  // as shape_of
        before = kind;
        while (next < literals.size() && literals[next].start + literals[next].length <= i) ++next;
        if (kind == kDigit && masked && (next == literals.size() || literals[next].start > i)) return false;
    }
    return true;
}

FormulaShapes::Entry* FormulaShapes::find(std::string_view key, std::uint64_t hash) {
    const std::size_t last = entries_.size() - 1;
    for (std::size_t i = hash & last;; i = (i + 1) & last) {
        Entry& e = entries_[i];
        if (e.length == 0) return &e;
        if (e.hash == hash && e.length == key.size() &&
            std::memcmp(keys_.data() + e.key, key.data(), key.size()) == 0) {
            return &e;
        }
    }
}

void FormulaShapes::grow() {
    std::vector<Entry> old(entries_.empty() ? 16 : 2 * entries_.size());
    old.swap(entries_);
    for (const Entry& e : old) {
        if (e.length != 0) *find(std::string_view(keys_).substr(e.key, e.length), e.hash) = e;
    }
}

const Value* FormulaShapes::reuse(std::string_view text, bool& deep, std::size_t& shape) {
    pending_ = nullptr;
    if (stopped_ || text.size() > std::uint32_t(-1)) return nullptr;
    if (shapes_ == kMostShapes && ++looked_ == kMostShapes) {
        // The table is full: when fewer than one in eight of the texts looked
        // up since it filled (or since the last such check) found their
        // shape, the shapes hardly repeat, and the texts left are parsed
        // without being looked up.
        stopped_ = reused_ * 8 < looked_;
        looked_ = reused_ = 0;
    }
    // The table grows with the shapes met: a small tree's call makes a
    // small one.
    if (shapes_ < kMostShapes && 2 * (shapes_ + 1) > entries_.size()) grow();
    const std::string_view key = shape_of(text);
    const std::uint64_t h = hash_text(key);  // keyed: no set of texts makes the probes long
    Entry& e = *find(key, h);
    if (e.length == 0) {
        // A shape met for the first time is only noted: most shapes of a
        // small tree never repeat, and keeping a tree costs about a parse.
        if (shapes_ == kMostShapes) return nullptr;
        ++shapes_;
        e = {h, keys_.size(), key.size(), nullptr, 0, 0, 0, State::Met, false};
        keys_.append(key);
        return nullptr;
    }
    if (e.state == State::Met) pending_ = &e;  // the second text: keep() may keep its tree
    if (e.state != State::Kept) return nullptr;
    deep = e.deep;
    shape = e.id;
    // A literal that does not convert leaves the others set: the next text
    // of the shape sets them all again.
    for (std::uint32_t k = e.first; k < e.first + e.count; ++k) {
        const Site& s = sites_[k];
        const std::string_view literal = text.substr(s.start, s.length);
        if (s.index != nullptr ? !direct::index_value(literal, *s.index)
                               : !convert_number_text(literal, *s.number, error_)) {
            return nullptr;
        }
    }
    reused_ += shapes_ == kMostShapes;
    return e.tree;
}

void FormulaShapes::reject() {
    if (pending_ != nullptr) pending_->state = State::Rejected;
    pending_ = nullptr;
}

bool FormulaShapes::keep(std::string_view text, const Value& tree, std::span<const direct::Literal> literals,
                         bool deep) {
    Entry* e = pending_;
    pending_ = nullptr;
    if (e == nullptr) return false;
    e->state = State::Rejected;
    const std::size_t first = sites_.size();
    bool shared = tree.kind == Value::Kind::Expression && Sites(sites_).expression(*tree.expression) &&
                  sites_.size() - first == literals.size() && masks_only_literals(text, literals);
    for (std::size_t k = 0; shared && k < literals.size(); ++k) {
        Site& s = sites_[first + k];
        shared = (s.index != nullptr) == literals[k].index;
        s.start = static_cast<std::uint32_t>(literals[k].start);
        s.length = static_cast<std::uint32_t>(literals[k].length);
    }
    if (!shared) {
        sites_.resize(first);
        return false;
    }
    e->state = State::Kept;
    e->first = static_cast<std::uint32_t>(first);
    e->count = static_cast<std::uint32_t>(literals.size());
    e->tree = &tree;
    e->deep = deep;
    e->id = static_cast<std::uint32_t>(trees_++);
    return true;
}

}  // namespace morvax
