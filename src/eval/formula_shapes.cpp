#include "eval/formula_shapes.hpp"

#include <array>
#include <cstring>

#include "eval/text_ids.hpp"
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

// Whether a digit run is masked, from the kind of the byte before its first
// digit: after a name's byte it continues the name. `masked`: the answer for
// the run before, which a digit after a digit continues.
constexpr bool run_masked(std::uint8_t before, bool masked) { return before == kDigit ? masked : before == kOther; }

// The field of the kept tree a literal step was made from. The tree's nodes
// were made in an arena, not as constants, so that its literals may be set.
double* number_field(const LiteralStep& l) {
    return &const_cast<NumberLiteral*>(static_cast<const NumberLiteral*>(l.node))->value;
}
Index* index_field(const LiteralStep& l) {
    if (l.kind == LiteralStep::Kind::Listed) return const_cast<Index*>(static_cast<const Index*>(l.node));
    return &const_cast<NodeReference*>(static_cast<const NodeReference*>(l.node))->index;
}

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
            masked = run_masked(before, masked);
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
        if (kind == kDigit) masked = run_masked(before, masked);
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

bool FormulaShapes::reuse(std::string_view text, Shared& out) {
    pending_ = nullptr;
    if (stopped_ || text.size() > std::uint32_t(-1)) return false;
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
        if (shapes_ == kMostShapes) return false;
        ++shapes_;
        e = {h, keys_.size(), key.size()};
        keys_.append(key);
        return false;
    }
    if (e.state == State::Met) pending_ = &e;  // the second text: keep() may keep its tree
    if (e.state != State::Kept) return false;
    // A literal that does not convert leaves the others set: the next text
    // of the shape sets them all again.
    for (std::uint32_t k = e.first; k < e.first + e.count; ++k) {
        const LiteralStep& l = made_[k];
        const std::string_view literal = text.substr(places_[k].start, places_[k].length);
        if (l.kind == LiteralStep::Kind::Number ? !convert_number_text(literal, *number_field(l), error_)
                                                : !direct::index_value(literal, *index_field(l))) {
            return false;
        }
    }
    reused_ += shapes_ == kMostShapes;
    out = {std::span<const Step>(e.steps, e.size), std::span<const LiteralStep>(made_).subspan(e.first, e.count),
           e.deep};
    return true;
}

void FormulaShapes::reject() {
    if (pending_ != nullptr) pending_->state = State::Rejected;
    pending_ = nullptr;
}

bool FormulaShapes::keep(std::string_view text, std::span<const direct::Literal> literals, std::span<const Step> steps,
                         std::span<const LiteralStep> made, bool deep) {
    Entry* e = pending_;
    pending_ = nullptr;
    if (e == nullptr) return false;
    e->state = State::Rejected;
    // The steps made from literals, in the order of the text, must be the
    // literals the reading noted, one for one.
    bool shared = made.size() == literals.size() && masks_only_literals(text, literals);
    for (std::size_t k = 0; shared && k < made.size(); ++k) {
        shared = (made[k].kind != LiteralStep::Kind::Number) == literals[k].index;
    }
    if (!shared) return false;
    e->state = State::Kept;
    e->steps = steps.data();
    e->size = static_cast<std::uint32_t>(steps.size());
    e->first = static_cast<std::uint32_t>(made_.size());
    e->count = static_cast<std::uint32_t>(made.size());
    e->deep = deep;
    made_.insert(made_.end(), made.begin(), made.end());
    for (const direct::Literal& l : literals) {
        places_.push_back({static_cast<std::uint32_t>(l.start), static_cast<std::uint32_t>(l.length)});
    }
    return true;
}

}  // namespace morvax
