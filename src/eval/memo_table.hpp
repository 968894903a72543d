// The memo table of a tree evaluation, and the set of cells being evaluated
// right now: both indexed by a node's position and a dimension.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "eval/anydim.hpp"
#include "eval/tree_index.hpp"
#include "eval/types.hpp"

namespace morvax {

// A bit per (node, dimension) pair, all clear at first, kept in blocks made
// as their first bit is set: a tree of many nodes that are the same in every
// dimension, beside one long formula list, has a large table of which it
// sets few bits, and address space is taken for those alone.
class Bits {
public:
    explicit Bits(std::size_t bits) : blocks_((bits + kBlockBits - 1) / kBlockBits) {}
    bool test(std::size_t i) const {
        const std::uint64_t* block = blocks_[i / kBlockBits].get();
        return block != nullptr && (block[i % kBlockBits / 64] >> (i % 64)) & 1;
    }
    void set(std::size_t i) {
        std::uint64_t* block = blocks_[i / kBlockBits].get();
        if (block == nullptr) [[unlikely]] block = make_block(i / kBlockBits);
        block[i % kBlockBits / 64] |= std::uint64_t{1} << (i % 64);
    }

private:
    static constexpr std::size_t kBlockBits = std::size_t{1} << 18;  // 32 KiB
    [[gnu::noinline]] std::uint64_t* make_block(std::size_t b) {
        blocks_[b] = std::make_unique<std::uint64_t[]>(kBlockBits / 64);
        return blocks_[b].get();
    }
    std::vector<std::unique_ptr<std::uint64_t[]>> blocks_;
};

// The memo table: per node its results, an AnyDim<EvalResult> of which only
// the dimensions evaluated so far are known, stored compactly.  A single
// entry remembers in which dimensions it has been evaluated and answers only
// those; when a differing result turns it into the list form, those
// dimensions keep the result they had.
//
// Each list entry gets its own run of slots, one per dimension, as it takes
// the list form: the evaluation goes node by node, every dimension of one
// node before the next, and a node's results lie together; the nodes whose
// result is the same in every dimension take no slots.
class MemoTable {
public:
    // `lists`: how many entries are expected in the list form, to size the
    // slots.
    MemoTable(std::size_t nodes, std::size_t dimensions, std::size_t lists);

    std::optional<EvalResult> get_value(NodePtr n, std::size_t d) const {
        EvalResult r;
        if (!find(n, d, r)) return std::nullopt;
        return r;
    }
    // The same into `out`, for the evaluation's every read: an optional
    // comes back through memory, and its result, written a field at a time,
    // was read back whole at once, which the processor cannot forward.
    bool find(NodePtr n, std::size_t d, EvalResult& out) const;
    // For a find(n, d) soon: reads n's entry and, when its results are a
    // list, asks the processor to start loading the slot of d.
    [[gnu::always_inline]] void prefetch(NodePtr n, std::size_t d) const {
        const Entry& e = entries_[n];
        if (e.form() == Form::List && d < dims_) __builtin_prefetch(&slots_[slot(e, d)]);
    }
    // `list_formula`: n's formula is a list, so a new entry takes the list form.
    void set_value(NodePtr n, std::size_t d, EvalResult r, bool list_formula);
    // What set_value in every dimension from 0 on, one after the other, would
    // leave for a single formula with the result `r` in each; n has no result
    // yet. Takes the same time however many the dimensions.
    void set_everywhere(NodePtr n, EvalResult r);
    // Whether n has a result in every dimension.
    bool complete(NodePtr n) const { return done_[n] == dims_; }
    // Whether n holds one result in every dimension: a single formula's,
    // evaluated everywhere to the same result. Asked at every read of a
    // compiled formula, so inline.
    bool uniform(NodePtr n) const {
        const Entry& e = entries_[n];
        if (e.form() != Form::Single) return false;
        return dims_ <= kInline ? e.bits == inline_mask_ : complete(n);
    }
    // Whether uniform(n) gives its last answer: it may yet turn true only
    // for a single formula's entry still missing a dimension.
    bool uniform_settled(NodePtr n) const { return entries_[n].form() != Form::Single || uniform(n); }
    // Whether an evaluation of n in d about to start is a single formula's
    // first, in dimension 0: its result may then be stored for every
    // dimension at once (store).
    bool first_evaluation(NodePtr n, std::size_t d, bool list_formula) const {
        return d == 0 && !list_formula && entries_[n].form() == Form::None;
    }
    // set_value, or, for a `first` evaluation (first_evaluation) whose
    // result is `uniform`, the same in every dimension, set_everywhere:
    // unless the evaluations it started have evaluated n in another
    // dimension meanwhile, or r is a NaN, which differs from itself (stored
    // a dimension at a time, such results take the list form).
    void store(NodePtr n, std::size_t d, EvalResult r, bool list_formula, bool first, bool uniform) {
        if (first && uniform && r == r && at_most_first(n)) {
            set_everywhere(n, r);
        } else {
            set_value(n, d, r, list_formula);
        }
    }
    // The node's results for save_values; nothing when it was never set.
    std::optional<AnyDim<EvalResult>> results(NodePtr n) const;

    // The same without building it: Unset when results(n) is nothing, a
    // single result_at(n, 0), or dimensions() results result_at(n, k).
    enum class Shape : std::uint8_t { Unset, Single, List };
    Shape shape(NodePtr n) const;
    // The single result, or the one in list slot k (Empty while Pending).
    EvalResult result_at(NodePtr n, std::size_t k) const;
    std::size_t dimensions() const { return dims_; }

private:
    enum class Form : std::uint8_t { None, Single, List };
    // A slot's result in 8 bytes, all zero while Pending: a sweep reads half
    // the memory the separate fields took. A number keeps its double's bits
    // (every NaN with its sign and payload: the median's total order tells
    // them apart). The other results take NaN patterns that arithmetic never
    // makes, signalling ones, and all are turned by kTurn, itself such a
    // pattern, so that no result is stored as zero.
    struct Packed {
        std::uint64_t stored = 0;

        static constexpr std::uint64_t kTurn = 0x7FF2'0000'0000'0000u;
        static constexpr std::uint64_t kTag = 0x7FF4'0000'0000'0000u;  // | kind << 8 | error
        static constexpr std::uint64_t kTagMask = 0xFFFF'0000'0000'0000u;
        static constexpr std::uint64_t kQuiet = 0x0008'0000'0000'0000u;

        static Packed of(const EvalResult& r) {
            std::uint64_t bits;
            if (r.is_number()) {
                bits = std::bit_cast<std::uint64_t>(r.value());
                // Only a signalling NaN could collide with the patterns, and
                // arithmetic quiets those; quiet it here all the same.
                if (r.value() != r.value()) bits |= kQuiet;
            } else {
                bits = kTag | std::uint64_t{static_cast<std::uint8_t>(r.kind())} << 8 |
                       static_cast<std::uint8_t>(r.error_kind());
            }
            return {bits ^ kTurn};
        }
        bool set() const { return stored != 0; }
        EvalResult result() const {
            const std::uint64_t bits = stored ^ kTurn;
            if ((bits & kTagMask) != kTag) return EvalResult::number(std::bit_cast<double>(bits));
            return EvalResult::from_parts(static_cast<EvalResult::Kind>((bits >> 8) & 0xFF), 0,
                                          static_cast<EvalError>(bits & 0xFF));
        }
    };
    // 16 bytes a node. The form is told by `single_result`: zero for None,
    // kListed for List, else the Single result.
    struct Entry {
        Packed single_result;
        // Single: a bit per dimension below 64 it was evaluated in; List: its
        // first slot in slots_.
        std::uint64_t bits = 0;

        // A signalling NaN's pattern, turned: Packed::of makes no such one.
        static constexpr std::uint64_t kListed = 0x7FF5'0000'0000'0000u ^ Packed::kTurn;

        Form form() const {
            if (!single_result.set()) return Form::None;
            return single_result.stored == kListed ? Form::List : Form::Single;
        }
        EvalResult single() const { return single_result.result(); }
        void set_single(const EvalResult& r) { single_result = Packed::of(r); }
        void set_listed(std::size_t first) {
            single_result.stored = kListed;
            bits = first;
        }
    };
    static_assert(sizeof(Entry) == 16);
    struct SlotsDeleter {
        void operator()(Packed* p) const;
    };

    static constexpr std::size_t kInline = 64;  // dimensions whose bits live in the entry
    std::size_t bit(NodePtr n, std::size_t d) const { return n * (dims_ - kInline) + d - kInline; }
    static std::size_t slot(const Entry& e, std::size_t d) { return e.bits + d; }
    bool evaluated_in(NodePtr n, std::size_t d) const;
    // evaluated_in for the dimensions from 64 on: rare, and kept out of the
    // reads it would otherwise swell.
    bool evaluated_beyond_inline(NodePtr n, std::size_t d) const;
    bool evaluated_elsewhere(NodePtr n, std::size_t d) const;
    // Whether n has no result, or only one in dimension 0.
    bool at_most_first(NodePtr n) const {
        return done_[n] == 0 || (done_[n] == 1 && entries_[n].form() == Form::Single && (entries_[n].bits & 1) != 0);
    }
    void mark_evaluated(NodePtr n, std::size_t d);
    void to_list(NodePtr n);
    // set_value for an entry not yet of the list form.
    void set_value_before_list(NodePtr n, std::size_t d, EvalResult r, bool list_formula);

    std::size_t dims_;
    std::uint64_t inline_mask_;  // the bits of an entry evaluated in every dimension below 64
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> done_;  // per node: the dimensions that have a result
    std::unique_ptr<Packed[], SlotsDeleter> slots_;  // zeroed: every slot Pending
    std::size_t slots_used_ = 0;                     // separate runs: slots handed out
    std::size_t slots_capacity_ = 0;
    // Single entries: the bits of dimensions from 64 on, unless the entry is
    // complete (then it holds in every dimension, and none is set).
    Bits evaluated_;
};

// The (node, dimension) pairs being evaluated right now. A bit for each
// pair where the tree is of ordinary size; else (many nodes beside a long
// formula list) a set of the pairs on the stack: a table of every pair would
// be large, and the pairs pushed are spread over all of it (nodes evaluated
// in dimension 0 alone, a list in each of its many dimensions).
class EvalStack {
public:
    EvalStack(std::size_t nodes, std::size_t dimensions)
        : dims_(dimensions), dense_(nodes * dimensions <= kDenseBits),
          on_stack_(dense_ ? (nodes * dimensions + 63) / 64 : 0) {}
    void push(NodePtr n, std::size_t d) {
        if (dense_) [[likely]] {
            on_stack_[bit(n, d) / 64] |= mask(n, d);
        } else {
            cells_.insert(bit(n, d));
        }
    }
    void pop(NodePtr n, std::size_t d) {
        if (dense_) [[likely]] {
            on_stack_[bit(n, d) / 64] &= ~mask(n, d);
        } else {
            cells_.erase(bit(n, d));
        }
    }
    bool is_circular(NodePtr n, std::size_t d) const {
        if (d >= dims_) return false;
        return dense_ ? (on_stack_[bit(n, d) / 64] & mask(n, d)) != 0 : cells_.contains(bit(n, d));
    }

private:
    static constexpr std::size_t kDenseBits = std::size_t{1} << 27;  // 16 MiB
    std::size_t bit(NodePtr n, std::size_t d) const { return n * dims_ + d; }
    std::uint64_t mask(NodePtr n, std::size_t d) const { return std::uint64_t{1} << (bit(n, d) % 64); }

    // Open addressing over the pairs' numbers plus one (0: free), linear
    // probing; an erased pair's followers shift back, so no probe ever
    // passes a tombstone.
    class CellSet {
    public:
        void insert(std::size_t cell) {
            if ((size_ + 1) * 2 > slots_.size()) grow();
            slots_[place(cell + 1)] = cell + 1;
            ++size_;
        }
        void erase(std::size_t cell) {
            const std::size_t mask = slots_.size() - 1;
            std::size_t hole = place(cell + 1);
            if (slots_[hole] == 0) return;
            --size_;
            for (std::size_t next = (hole + 1) & mask; slots_[next] != 0; next = (next + 1) & mask) {
                const std::size_t home = mix(slots_[next]) & mask;
                // The follower may fill the hole unless its home lies
                // cyclically after the hole, up to it.
                if (((next - home) & mask) >= ((next - hole) & mask)) {
                    slots_[hole] = slots_[next];
                    hole = next;
                }
            }
            slots_[hole] = 0;
        }
        bool contains(std::size_t cell) const { return !slots_.empty() && slots_[place(cell + 1)] != 0; }

    private:
        static std::size_t mix(std::uint64_t key) { return key * 0x9E3779B97F4A7C15ull >> 20; }
        std::size_t place(std::uint64_t key) const {
            const std::size_t mask = slots_.size() - 1;
            std::size_t i = mix(key) & mask;
            while (slots_[i] != 0 && slots_[i] != key) i = (i + 1) & mask;
            return i;
        }
        void grow() {
            std::vector<std::uint64_t> old(slots_.empty() ? 64 : slots_.size() * 2);
            old.swap(slots_);
            for (const std::uint64_t key : old) {
                if (key != 0) slots_[place(key)] = key;
            }
        }
        std::vector<std::uint64_t> slots_;  // a power of two of them, or none
        std::size_t size_ = 0;
    };

    std::size_t dims_;
    bool dense_;
    std::vector<std::uint64_t> on_stack_;  // the bits, when dense_
    CellSet cells_;
};

inline bool MemoTable::evaluated_in(NodePtr n, std::size_t d) const {
    if (d < kInline) return (entries_[n].bits >> d) & 1;
    return evaluated_beyond_inline(n, d);
}

// Most results are stored into an entry of the list form: that path is inline.
inline void MemoTable::set_value(NodePtr n, std::size_t d, EvalResult r, bool list_formula) {
    const Entry& e = entries_[n];
    if (e.form() != Form::List) return set_value_before_list(n, d, r, list_formula);
    Packed& s = slots_[slot(e, d)];
    done_[n] += !s.set();
    s = Packed::of(r);
}

// Asked for every node and cell when the values are written: inline.
inline MemoTable::Shape MemoTable::shape(NodePtr n) const {
    switch (entries_[n].form()) {
        case Form::None: return Shape::Unset;
        case Form::Single: return Shape::Single;
        case Form::List: return Shape::List;
    }
    return Shape::Unset;
}

inline EvalResult MemoTable::result_at(NodePtr n, std::size_t k) const {
    const Entry& e = entries_[n];
    if (e.form() == Form::Single) return e.single();
    const Packed& s = slots_[slot(e, k)];
    return s.set() ? s.result() : EvalResult::empty();
}

inline bool MemoTable::find(NodePtr n, std::size_t d, EvalResult& out) const {
    const Entry& e = entries_[n];
    switch (e.form()) {
        case Form::None: return false;
        case Form::Single:
            if (d >= dims_ || !evaluated_in(n, d)) return false;
            out = e.single();
            return true;
        case Form::List: {
            if (d >= dims_) return false;
            const Packed& s = slots_[slot(e, d)];
            if (!s.set()) return false;
            out = s.result();
            return true;
        }
    }
    return false;
}

}  // namespace morvax
