#include "eval/tree.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <stdexcept>

#include "eval/context.hpp"
#include "eval/evaluator.hpp"
#include "eval/formula_stack.hpp"
#include "eval/names.hpp"
#include "parser/parse.hpp"

namespace morvax {
namespace {

std::size_t words_for(std::size_t bits) { return (bits + 63) / 64; }
bool test_bit(const std::vector<std::uint64_t>& v, std::size_t i) { return (v[i / 64] >> (i % 64)) & 1; }
void set_bit(std::vector<std::uint64_t>& v, std::size_t i) { v[i / 64] |= std::uint64_t{1} << (i % 64); }
void clear_bit(std::vector<std::uint64_t>& v, std::size_t i) { v[i / 64] &= ~(std::uint64_t{1} << (i % 64)); }

}  // namespace

std::vector<const Node*> find_all_nodes_by_name(const Node& start, std::string_view name) {
    std::vector<const Node*> found;
    for_each_preorder(start, [&](const Node& n) {
        if (!n.is_hidden && n.name == name) found.push_back(&n);
    });
    return found;
}

std::size_t get_max_dimensions(const Node& node) {
    std::size_t most = 0;
    for_each_preorder(node, [&](const Node& n) { most = std::max(most, n.formula.dimensions()); });
    return most;
}

void evaluate_tree_values(Node& root) {
    TreeEvaluation evaluation(root);
    evaluation.evaluate_all();
    evaluation.save_values();
}

// -- TreeIndex ----------------------------------------------------------------

TreeIndex::TreeIndex(const FlatTree& tree) {
    // Positions are 32-bit; a tree that large would not fit in memory anyway.
    if (tree.size() >= std::numeric_limits<NodePtr>::max()) throw std::length_error("tree too large");
    std::vector<std::uint32_t> group_of(tree.size());  // kNone: hidden
    std::vector<std::uint32_t> counts;                 // per group
    for (std::size_t n = 0; n < tree.size(); ++n) {
        std::uint32_t g = TextIds::kNone;
        if (!tree.hidden(n)) {
            bool added = false;
            g = groups_.intern(tree.name(n), added);
            if (added) counts.push_back(0);
            ++counts[g];
        }
        group_of[n] = g;
    }
    // From the back, so that each child's end is known: a node's subtree ends
    // where the hops from its first child over each child's subtree end.
    end_.resize(tree.size());
    for (std::size_t i = tree.size(); i-- > 0;) {
        NodePtr end = static_cast<NodePtr>(i + 1);
        for (std::uint32_t c = 0; c < tree.children(i); ++c) end = end_[end];
        end_[i] = end;
    }
    index_names(group_of, counts);
}

// Groups the visible nodes by name, each group in pre-order, all groups in
// one array.
void TreeIndex::index_names(const std::vector<std::uint32_t>& group_of, const std::vector<std::uint32_t>& counts) {
    group_start_.assign(counts.size() + 1, 0);
    for (std::size_t g = 0; g < counts.size(); ++g) group_start_[g + 1] = group_start_[g] + counts[g];
    named_.resize(group_start_.back());
    std::vector<std::uint32_t> fill(group_start_.begin(), group_start_.end() - 1);
    for (NodePtr i = 0; i < group_of.size(); ++i) {
        if (group_of[i] != TextIds::kNone) named_[fill[group_of[i]]++] = i;
    }
}

std::span<const NodePtr> TreeIndex::find(std::string_view name) const {
    const std::uint32_t g = groups_.find(name);
    if (g == TextIds::kNone) return {};
    return std::span<const NodePtr>(named_).subspan(group_start_[g], group_start_[g + 1] - group_start_[g]);
}

// -- MemoTable ----------------------------------------------------------------

void MemoTable::SlotsDeleter::operator()(Packed* p) const { std::free(p); }

MemoTable::MemoTable(std::size_t nodes, std::size_t dimensions, std::size_t lists, std::size_t formula_slots)
    : dims_(dimensions),
      nodes_(nodes),
      // Room for all: at most four times the slots the formulas fill.
      by_dimension_(nodes * dimensions <= 4 * std::max(formula_slots, nodes)),
      entries_(nodes),
      evaluated_(dimensions > kInline ? words_for(nodes * (dimensions - kInline)) : 0) {
    slots_capacity_ = by_dimension_ ? nodes * dimensions : lists * dimensions;
    // calloc: a large block comes as untouched zero pages, and zero is Pending.
    static_assert(std::is_trivially_copyable_v<Packed>);
    if (slots_capacity_ > 0) {
        slots_.reset(static_cast<Packed*>(std::calloc(slots_capacity_, sizeof(Packed))));
        if (!slots_) throw std::bad_alloc();
    }
}

void MemoTable::mark_evaluated(NodePtr n, std::size_t d) {
    if (d < kInline) {
        entries_[n].evaluated |= std::uint64_t{1} << d;
    } else {
        set_bit(evaluated_, bit(n, d));
    }
}

// Whether a dimension other than d holds the single entry's result.
bool MemoTable::evaluated_elsewhere(NodePtr n, std::size_t d) const {
    const std::uint64_t others = d < kInline ? ~(std::uint64_t{1} << d) : ~std::uint64_t{0};
    if (entries_[n].evaluated & others) return true;
    for (std::size_t k = kInline; k < dims_; ++k) {
        if (k != d && evaluated_in(n, k)) return true;
    }
    return false;
}

// A single entry becomes a list of Pending slots in which every dimension it
// was evaluated in keeps its result.
void MemoTable::to_list(NodePtr n) {
    Entry& e = entries_[n];
    if (!by_dimension_) {
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
        e.list = static_cast<std::uint32_t>(slots_used_);
        slots_used_ += dims_;
    }
    for (std::size_t k = 0; k < dims_; ++k) {
        if (e.form == Form::Single && evaluated_in(n, k)) slots_[slot(e, n, k)] = Packed::of(e.single());
    }
    e.form = Form::List;
}

void MemoTable::set_value(NodePtr n, std::size_t d, EvalResult r, bool list_formula) {
    Entry& e = entries_[n];
    if (e.form == Form::None && d == 0 && !list_formula) {
        e.form = Form::Single;
        e.set_single(r);
        mark_evaluated(n, 0);
        return;
    }
    if (e.form == Form::Single) {
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
    if (e.form != Form::List) to_list(n);
    slots_[slot(e, n, d)] = Packed::of(r);
}

MemoTable::Shape MemoTable::shape(NodePtr n) const {
    switch (entries_[n].form) {
        case Form::None: return Shape::Unset;
        case Form::Single: return Shape::Single;
        case Form::List: return Shape::List;
    }
    return Shape::Unset;
}

EvalResult MemoTable::result_at(NodePtr n, std::size_t k) const {
    const Entry& e = entries_[n];
    if (e.form == Form::Single) return e.single();
    const Packed& s = slots_[slot(e, n, k)];
    return s.set() ? s.result() : EvalResult::empty();
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

// -- EvalStack ----------------------------------------------------------------

EvalStack::EvalStack(std::size_t nodes, std::size_t dimensions)
    : dims_(dimensions), on_stack_(words_for(nodes * dimensions)) {}

void EvalStack::push(NodePtr n, std::size_t d) {
    pairs_.emplace_back(n, static_cast<std::uint32_t>(d));
    set_bit(on_stack_, bit(n, d));
}

void EvalStack::pop() {
    const auto [n, d] = pairs_.back();
    pairs_.pop_back();
    clear_bit(on_stack_, bit(n, d));
}

bool EvalStack::is_circular(NodePtr n, std::size_t d) const {
    return d < dims_ && test_bit(on_stack_, bit(n, d));
}

// -- FormulaTable -------------------------------------------------------------

namespace {

// The formula texts of a tree in pre-order, interned into `ids`: each one's
// id goes to the end of `id_of`, the lowest dimension each distinct text
// stands in to `first_dimension`. Texts are interned a block at a time, each
// block's hashes known before its first probe, so that the probes of a table
// larger than the cache overlap rather than wait for one another.
class TextStream {
public:
    TextStream(TextIds& ids, std::vector<std::uint32_t>& id_of, std::vector<std::uint32_t>& first_dimension)
        : ids_(ids), id_of_(id_of), first_dimension_(first_dimension) {
        block_.reserve(kBlock);
    }

    // The text in dimension d of its node; its id is set by finish() at the latest.
    void add(std::string_view text, std::uint32_t d) {
        const auto slot = static_cast<std::uint32_t>(id_of_.size());
        id_of_.push_back(TextIds::kNone);
        // Lists often repeat one text: the text before is checked before hashing.
        if (after_text_ && text == previous_) {
            block_.push_back({slot, d, {}, 0, true});
        } else {
            block_.push_back({slot, d, text, hash_text(text), false});
            previous_ = text;
            after_text_ = true;
        }
        if (block_.size() == kBlock) intern_block();
    }
    void finish() { intern_block(); }

private:
    struct Pending {
        std::uint32_t slot;  // in id_of
        std::uint32_t d;
        std::string_view text;  // empty for a repeat
        std::uint64_t hash;
        bool repeat;  // the same text as the pending one before it
    };
    static constexpr std::size_t kBlock = 256, kAhead = 8;

    void intern_block() {
        for (std::size_t i = 0; i < block_.size(); ++i) {
            const Pending& p = block_[i];
            if (i + kAhead < block_.size() && !block_[i + kAhead].repeat) ids_.prefetch(block_[i + kAhead].hash);
            if (!p.repeat) {
                bool added = false;
                last_ = ids_.intern(p.text, p.hash, added);
                if (added) first_dimension_.push_back(p.d);
            }
            first_dimension_[last_] = std::min(first_dimension_[last_], p.d);
            id_of_[p.slot] = last_;
        }
        block_.clear();
    }

    TextIds& ids_;
    std::vector<std::uint32_t>& id_of_;
    std::vector<std::uint32_t>& first_dimension_;
    std::vector<Pending> block_;
    bool after_text_ = false;  // a text was added before this one
    std::string_view previous_;
    std::uint32_t last_ = TextIds::kNone;  // the id of the text interned last
};

}  // namespace

FormulaTable::FormulaTable(const FlatTree& flat, const TreeIndex& tree) {
    TextIds seen(1024);
    // Per slot: its text's id, or kNumber and the index of its number.
    constexpr std::uint32_t kNumber = 0x80000000u;
    std::vector<std::uint32_t> id_of;
    std::vector<std::uint32_t> first_dimension;  // per text: the lowest dimension it stands in
    first_slot_.reserve(tree.size() + 1);
    list_.reserve(tree.size());
    TextStream texts(seen, id_of, first_dimension);
    for (NodePtr n = 0; n < tree.size(); ++n) {
        first_slot_.push_back(static_cast<std::uint32_t>(id_of.size()));
        const std::span<const std::string_view> formula = flat.texts(n);
        lists_ += flat.is_list(n);
        max_length_ = std::max(max_length_, formula.size());
        list_.push_back(flat.is_list(n));
        std::uint32_t d = 0;
        for (const std::string_view text : formula) {
            double number = 0;
            if (numbers_.size() < kNumber && convert_plain_number(text, number)) {
                id_of.push_back(kNumber | static_cast<std::uint32_t>(numbers_.size()));
                numbers_.push_back(number);
                ++d;
                continue;
            }
            texts.add(text, d);
            ++d;
        }
    }
    texts.finish();
    first_slot_.push_back(static_cast<std::uint32_t>(id_of.size()));
    distinct_ = seen.size();

    // The evaluation sweeps the tree once per dimension. Parsed in the order of
    // the first dimension that needs them, the syntax trees one sweep walks lie
    // together, in the order it walks them; each tree has a copy of its text
    // (which its names view) just before it.
    std::vector<std::uint32_t> order(distinct_);
    {
        std::uint32_t dims = 0;
        for (const std::uint32_t d : first_dimension) dims = std::max(dims, d + 1);
        std::vector<std::uint32_t> start(dims + 1, 0);
        for (const std::uint32_t d : first_dimension) ++start[d + 1];
        for (std::uint32_t d = 0; d < dims; ++d) start[d + 1] += start[d];
        for (std::uint32_t id = 0; id < distinct_; ++id) order[start[first_dimension[id]]++] = id;
    }
    std::vector<const CompiledFormula*> parsed(distinct_, nullptr);  // null: the text did not parse
    std::vector<Step> steps;
    StackSegments segments;  // for the few texts nested too deeply for this thread's stack
    for (const std::uint32_t id : order) {
        const std::string_view text = seen.text(id);
        const Arena::Mark before = arena_.mark();
        char* copy = arena_.allocate<char>(text.size());
        if (!text.empty()) std::memcpy(copy, text.data(), text.size());
        StackRoom room;
        const ParseResult<Value> p = parse_formula_where_it_fits(segments, std::string_view(copy, text.size()), arena_, room);
        if (!p.ok()) {
            arena_.rewind(before);
            continue;
        }
        const Value* value = arena_.make<Value>(p.value);
        // The steps, when it compiles, lie right after it.
        steps.clear();
        auto* formula = code_.make<CompiledFormula>(value, nullptr, room);
        bool compiled = false;
        use_tree(segments, room, [&] { compiled = compile_formula(*value, tree, steps); });
        if (compiled) {
            Step* placed = code_.allocate<Step>(steps.size());
            std::copy(steps.begin(), steps.end(), placed);
            formula->steps = placed;
            // Steps that never hand the syntax tree to the evaluator leave it
            // (and the text its names view) unused: its room serves the next
            // formula, so the trees kept stay few and the parser writes to
            // memory already in the cache.
            if (!hands_over_syntax(std::span<const Step>(placed, steps.size()))) {
                formula->value = nullptr;
                arena_.rewind(before);
            }
        }
        parsed[id] = formula;
    }
    auto slot_of = [&](std::uint32_t id) {
        return (id & kNumber) != 0 ? FormulaSlot::number(id & ~kNumber) : FormulaSlot::of(parsed[id]);
    };
    nodes_ = tree.size();
    slot_count_ = id_of.size();
    if (nodes_ * max_length_ <= 4 * std::max(slot_count_, nodes_)) {
        // The grid holds every slot too (a list's entry d in dimension d, a
        // single formula in dimension 0), so the runs of slots are not kept.
        // Written in its own order, each entry once.
        grid_.reserve(nodes_ * max_length_);
        for (std::size_t d = 0; d < max_length_; ++d) {
            for (NodePtr n = 0; n < nodes_; ++n) {
                const std::uint32_t first = first_slot_[n];
                const std::uint32_t count = first_slot_[n + 1] - first;
                const std::size_t slot = list_[n] ? d : 0;
                grid_.push_back(slot < count ? slot_of(id_of[first + slot]) : kUncovered);
            }
        }
    } else {
        slots_.resize(id_of.size());
        for (std::size_t i = 0; i < id_of.size(); ++i) slots_[i] = slot_of(id_of[i]);
    }
}

const CompiledFormula FormulaTable::kUncoveredFormula{};

FormulaSlot FormulaTable::formula(NodePtr n, std::size_t d, bool& covered) const {
    // A single formula has one slot, asked for as slot 0 in every dimension.
    const std::uint32_t first = first_slot_[n];
    covered = d < first_slot_[n + 1] - first;
    if (!covered) return FormulaSlot();
    return grid_.empty() ? slots_[first + d] : grid_[d * nodes_ + n];
}

// -- TreeEvaluation -----------------------------------------------------------

TreeEvaluation::TreeEvaluation(Node& root) : TreeEvaluation(FlatTree(root)) {}

// The flat tree goes with the parameter, before the evaluation starts: the
// index and the formula table keep what they need of it, and its texts are
// the largest thing a call holds.
TreeEvaluation::TreeEvaluation(FlatTree tree)
    : tree_(tree),
      formulas_(tree, tree_),
      dims_(formulas_.max_length()),
      values_(tree_.size(), dims_, formulas_.lists(), formulas_.slots()),
      stack_(tree_.size(), dims_),
      nodes_(tree.take_nodes()) {}

void TreeEvaluation::evaluate_all() {
    for (NodePtr n = 0; n < tree_.size(); ++n) {
        for (std::size_t d = 0; d < dims_; ++d) evaluate_dimension(n, d);
    }
}

std::size_t TreeEvaluation::stack_need(NodePtr n, std::size_t d) const {
    bool covered = false;
    const FormulaSlot slot = formulas_.formula_in(n, d, covered);
    if (covered && !slot.is_number() && slot.formula() != nullptr && slot.formula()->room == StackRoom::Deep)
        return StackSegments::kReserve;
    return StackSegments::kShallowStep;
}

EvalResult TreeEvaluation::compute(NodePtr n, std::size_t d) {
    bool covered = false;
    const FormulaSlot slot = formulas_.formula_in(n, d, covered);
    if (!covered) return EvalResult::empty();
    if (slot.is_number()) return EvalResult::number(formulas_.number(slot));
    const CompiledFormula* formula = slot.formula();
    if (formula == nullptr) return EvalResult::error(EvalError::Error);
    if (formula->steps != nullptr) return run_program(formula->steps, n, d);
    return evaluate(*formula->value, TreeContext(*this, n, d)).as_eval_result();
}

void TreeEvaluation::evaluate_dimension(NodePtr n, std::size_t d) {
    if (!values_.get_value(n, d)) segments_.call([&] { run_dimension(n, d); }, stack_need(n, d));
}

EvalResult TreeEvaluation::run_dimension(NodePtr n, std::size_t d) {
    stack_.push(n, d);
    const EvalResult result = compute(n, d);
    values_.set_value(n, d, result, formulas_.is_list(n));
    stack_.pop();
    return result;
}

EvalResult TreeEvaluation::read(NodePtr n, std::size_t d) {
    if (const auto known = values_.get_value(n, d)) return *known;
    if (stack_.is_circular(n, d)) {
        // The evaluation in progress further out overwrites this later.
        values_.set_value(n, d, EvalResult::error(EvalError::Ref), formulas_.is_list(n));
        return EvalResult::error(EvalError::Ref);
    }
    EvalResult result;
    segments_.call([&] { result = run_dimension(n, d); }, stack_need(n, d));
    return result;
}

bool TreeEvaluation::walk_right(NodePtr n, std::size_t d) {
    if (!formulas_.is_list(n)) return false;
    if (right_evaluated_from_.empty()) right_evaluated_from_.assign(tree_.size(), TextIds::kNone);
    const std::size_t length = formulas_.length(n);
    // Nested reads may lower the mark: the rest is then evaluated already.
    for (std::size_t k = d + 1; k < length && k < right_evaluated_from_[n]; ++k) {
        ++right_steps_;
        read(n, k);
    }
    right_evaluated_from_[n] = static_cast<std::uint32_t>(std::min(d + 1, std::size_t{right_evaluated_from_[n]}));
    return true;
}

bool TreeEvaluation::read_right_at(NodePtr n, std::size_t d, std::size_t index, EvalResult& out) {
    if (!walk_right(n, d)) return false;
    const std::size_t length = formulas_.length(n);
    const std::size_t later = length > d ? length - d - 1 : 0;
    out = index == 0 || index > later ? EvalResult::error(EvalError::Ref) : read(n, d + index);
    return true;
}

void TreeEvaluation::save_values() {
    for (NodePtr n = 0; n < nodes_.size(); ++n) {
        if (auto results = values_.results(n)) nodes_[n]->value = std::move(*results);
    }
}

}  // namespace morvax
