#include "eval/memo_table.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace morvax {

void MemoTable::SlotsDeleter::operator()(Packed* p) const { std::free(p); }

MemoTable::MemoTable(std::size_t nodes, std::size_t dimensions, std::size_t lists)
    : dims_(dimensions),
      inline_mask_(dimensions >= kInline ? ~std::uint64_t{0} : (std::uint64_t{1} << dimensions) - 1),
      entries_(nodes),
      done_(nodes, 0),
      evaluated_(dimensions > kInline ? nodes * (dimensions - kInline) : 0) {
    slots_capacity_ = lists * dimensions;
    // calloc: a large block comes as untouched zero pages, and zero is Pending.
    static_assert(std::is_trivially_copyable_v<Packed>);
    if (slots_capacity_ > 0) {
        slots_.reset(static_cast<Packed*>(std::calloc(slots_capacity_, sizeof(Packed))));
        if (!slots_) throw std::bad_alloc();
    }
}

bool MemoTable::evaluated_beyond_inline(NodePtr n, std::size_t d) const {
    return complete(n) || evaluated_.test(bit(n, d));
}

void MemoTable::mark_evaluated(NodePtr n, std::size_t d) {
    if (d < kInline) {
        entries_[n].bits |= std::uint64_t{1} << d;
    } else {
        evaluated_.set(bit(n, d));
    }
}

// Whether a dimension other than d holds the single entry's result.
bool MemoTable::evaluated_elsewhere(NodePtr n, std::size_t d) const {
    const std::uint64_t others = d < kInline ? ~(std::uint64_t{1} << d) : ~std::uint64_t{0};
    if (entries_[n].bits & others) return true;
    for (std::size_t k = kInline; k < dims_; ++k) {
        if (k != d && evaluated_in(n, k)) return true;
    }
    return false;
}

// A single entry becomes a list of Pending slots in which every dimension it
// was evaluated in keeps its result.
void MemoTable::to_list(NodePtr n) {
    Entry& e = entries_[n];
    if (slots_used_ + dims_ > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("memo table too large");
    if (slots_used_ + dims_ > slots_capacity_) {
        // Grown by half again, the new part zeroed (Pending).
        const std::size_t capacity = std::max(slots_used_ + dims_, slots_capacity_ + slots_capacity_ / 2);
        auto* grown = static_cast<Packed*>(std::realloc(slots_.get(), capacity * sizeof(Packed)));
        if (grown == nullptr) throw std::bad_alloc();
        (void)slots_.release();
        slots_.reset(grown);
        std::memset(static_cast<void*>(grown + slots_capacity_), 0, (capacity - slots_capacity_) * sizeof(Packed));
        slots_capacity_ = capacity;
    }
    // The run is filled while the entry still holds its single result and
    // the dimensions it was evaluated in, which the list's first slot replaces.
    if (e.form() == Form::Single) {
        for (std::size_t k = 0; k < dims_; ++k) {
            if (evaluated_in(n, k)) slots_[slots_used_ + k] = e.single_result;
        }
    }
    e.set_listed(slots_used_);
    slots_used_ += dims_;
}

void MemoTable::set_value_before_list(NodePtr n, std::size_t d, EvalResult r, bool list_formula) {
    Entry& e = entries_[n];
    if (!get_value(n, d)) ++done_[n];
    if (e.form() == Form::None && d == 0 && !list_formula) {
        e.set_single(r);
        mark_evaluated(n, 0);
        return;
    }
    if (e.form() == Form::Single) {
        if (e.single() == r) {
            mark_evaluated(n, d);
            return;
        }
        // No other dimension holds the old result: the entry may simply change.
        if (!evaluated_elsewhere(n, d)) {
            e.set_single(r);
            mark_evaluated(n, d);
            return;
        }
    }
    if (e.form() != Form::List) to_list(n);
    slots_[slot(e, d)] = Packed::of(r);
}

void MemoTable::set_everywhere(NodePtr n, EvalResult r) {
    Entry& e = entries_[n];
    e.set_single(r);
    // The dimensions below 64 at once; complete, the entry needs no bits
    // for the rest.
    e.bits = inline_mask_;
    done_[n] = static_cast<std::uint32_t>(dims_);
}

std::optional<AnyDim<EvalResult>> MemoTable::results(NodePtr n) const {
    switch (shape(n)) {
        case Shape::Unset: return std::nullopt;
        case Shape::Single: return AnyDim<EvalResult>::single(result_at(n, 0));
        case Shape::List: break;
    }
    std::vector<EvalResult> list;
    list.reserve(dims_);
    for (std::size_t k = 0; k < dims_; ++k) list.push_back(result_at(n, k));
    return AnyDim<EvalResult>::multi(std::move(list));
}

}  // namespace morvax
