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
#include "parser/grammar.hpp"
#include "parser/parse.hpp"

namespace morvax {
namespace {

std::size_t words_for(std::size_t bits) { return (bits + 63) / 64; }
void set_bit(std::vector<std::uint64_t>& v, std::size_t i) { v[i / 64] |= std::uint64_t{1} << (i % 64); }

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

TreeIndex::TreeIndex(FlatTree& tree) {
    groups_ = tree.take_names();
    index(tree);
}

TreeIndex::TreeIndex(const FlatTree& tree) {
    for (std::uint32_t id = 0; id < tree.names().size(); ++id) groups_.intern(tree.names().text(id));
    index(tree);
}

void TreeIndex::index(const FlatTree& tree) {
    // Positions are 32-bit; a tree that large would not fit in memory anyway.
    if (tree.size() >= std::numeric_limits<NodePtr>::max()) throw std::length_error("tree too large");
    // A name's group is its id; hidden nodes belong to none.
    std::vector<std::uint32_t> group_of(tree.size());
    std::vector<std::uint32_t> counts(groups_.size(), 0);
    for (std::size_t n = 0; n < tree.size(); ++n) {
        const std::uint32_t g = tree.hidden(n) ? TextIds::kNone : tree.name(n);
        if (g != TextIds::kNone) ++counts[g];
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
      done_(nodes, 0),
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
    if (e.form == Form::List) {  // most results, once a node has its first
        Packed& s = slots_[slot(e, n, d)];
        done_[n] += !s.set();
        s = Packed::of(r);
        return;
    }
    if (!get_value(n, d)) ++done_[n];
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

// -- FormulaTable -------------------------------------------------------------

FormulaTable::FormulaTable(FlatTree&& flat, const TreeIndex& tree, Interrupt& interrupt) {
    flat.finish_texts();
    const TextIds& texts = flat.texts();
    nodes_ = tree.size();
    slot_count_ = flat.text_count();
    // Per text: the lowest dimension it stands in.
    std::vector<std::uint32_t> first_dimension(texts.size(), std::numeric_limits<std::uint32_t>::max());
    first_slot_.reserve(nodes_ + 1);
    list_.reserve(nodes_);
    std::uint32_t slot = 0;
    for (NodePtr n = 0; n < nodes_; ++n) {
        const std::span<const std::uint32_t> ids = flat.text_ids(n);
        first_slot_.push_back(slot);
        slot += static_cast<std::uint32_t>(ids.size());
        lists_ += flat.is_list(n);
        list_.push_back(flat.is_list(n));
        max_length_ = std::max(max_length_, ids.size());
        for (std::uint32_t d = 0; d < ids.size(); ++d) first_dimension[ids[d]] = std::min(first_dimension[ids[d]], d);
    }
    first_slot_.push_back(static_cast<std::uint32_t>(slot_count_));

    by_id_.assign(texts.size(), FormulaSlot());
    prepare(texts, first_dimension, tree, interrupt);
    if (nodes_ * max_length_ <= 4 * std::max(slot_count_, nodes_)) {
        lay_out_grid(flat);
    } else {
        const std::span<const std::uint32_t> all = nodes_ > 0 ? flat.text_ids(0) : std::span<const std::uint32_t>();
        slot_ids_.assign(all.data(), all.data() + slot_count_);
    }
    flat = FlatTree();
}

// Every distinct text made what the evaluation runs: plain numbers converted,
// the rest parsed and compiled, in the order of the first dimension that
// needs them: the evaluation sweeps the tree once per dimension, so the code
// one sweep runs lies together, in the order it runs it.
void FormulaTable::prepare(const TextIds& texts, const std::vector<std::uint32_t>& first_dimension,
                           const TreeIndex& tree, Interrupt& interrupt) {
    // Every text stands in some slot, so its first dimension is below max_length_.
    std::vector<std::uint32_t> start(max_length_ + 1, 0);
    for (std::uint32_t id = 0; id < texts.size(); ++id) {
        const std::string_view text = texts.text(id);
        double number = 0;
        if (convert_plain_number(text, number)) {
            by_id_[id] = FormulaSlot::number(numbers_.size());
            numbers_.push_back(number);
        } else if (std::all_of(text.begin(), text.end(), is_grammar_space)) {
            by_id_[id] = FormulaSlot::empty();
        } else {
            ++start[first_dimension[id] + 1];
        }
    }
    for (std::size_t d = 0; d < max_length_; ++d) start[d + 1] += start[d];
    std::vector<std::uint32_t> order(start[max_length_]);
    for (std::uint32_t id = 0; id < texts.size(); ++id) {
        const FormulaSlot slot = by_id_[id];
        if (!slot.is_number() && !slot.is_empty()) order[start[first_dimension[id]]++] = id;
    }
    std::vector<Step> steps;
    StackSegments segments;  // for the few texts nested too deeply for this thread's stack
    for (const std::uint32_t id : order) {
        if (interrupt.tick()) break;
        by_id_[id] = compile(texts.text(id), tree, steps, segments);
        ++distinct_;
    }
}

// The steps of the text, null when it does not parse; its syntax tree when
// it is left to the evaluator.
FormulaSlot FormulaTable::compile(std::string_view text, const TreeIndex& tree, std::vector<Step>& steps,
                                  StackSegments& segments) {
    // The syntax tree's names view its text: a copy of it goes just before it.
    const Arena::Mark before = arena_.mark();
    char* copy = arena_.allocate<char>(text.size());
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    StackRoom room;
    const ParseResult<Value> p = parse_formula_where_it_fits(segments, std::string_view(copy, text.size()), arena_, room);
    if (!p.ok()) {
        arena_.rewind(before);
        return FormulaSlot::steps(nullptr);
    }
    const Value* value = arena_.make<Value>(p.value);
    const bool deep = room == StackRoom::Deep;
    steps.clear();
    bool compiled = false;
    use_tree(segments, room, [&] { compiled = compile_formula(*value, tree, steps); });
    if (!compiled) return FormulaSlot::syntax(value, deep);
    Step* placed = code_.allocate<Step>(steps.size());
    std::copy(steps.begin(), steps.end(), placed);
    // Steps that never hand the syntax tree to the evaluator leave it (and
    // the text its names view) unused: its room serves the next formula, so
    // the trees kept stay few and the parser writes to memory already in the
    // cache.
    if (!hands_over_syntax(std::span<const Step>(placed, steps.size()))) arena_.rewind(before);
    return FormulaSlot::steps(placed, deep);
}

// The grid holds every slot (a list's entry d in dimension d, a single
// formula in every dimension), so the runs of slots are not kept. Written in
// its own order, each entry once.
void FormulaTable::lay_out_grid(const FlatTree& flat) {
    grid_.resize(nodes_ * max_length_);
    const std::uint32_t* ids = nodes_ > 0 ? flat.text_ids(0).data() : nullptr;
    std::uint32_t* row = grid_.data();
    for (std::size_t d = 0; d < max_length_; ++d, row += nodes_) {
        for (NodePtr n = 0; n < nodes_; ++n) {
            const std::uint32_t first = first_slot_[n];
            const std::size_t slot = list_[n] ? d : 0;
            row[n] = slot < first_slot_[n + 1] - first ? ids[first + slot] : kUncovered;
        }
    }
}

void FormulaTable::release_code() {
    grid_ = {};
    slot_ids_ = {};
    by_id_ = {};
    numbers_ = {};
    code_.release();
    arena_.release();
}

FormulaSlot FormulaTable::formula(NodePtr n, std::size_t d, bool& covered) const {
    // A single formula has one slot, asked for as slot 0 in every dimension.
    const std::uint32_t first = first_slot_[n];
    covered = d < first_slot_[n + 1] - first;
    if (!covered) return FormulaSlot();
    return by_id_[grid_.empty() ? slot_ids_[first + d] : grid_[d * nodes_ + n]];
}

// -- TreeEvaluation -----------------------------------------------------------

TreeEvaluation::TreeEvaluation(Node& root) : TreeEvaluation(FlatTree(root)) {}

// The flat tree goes before the memo table is made: the index and the
// formula table keep what they need of it.
TreeEvaluation::TreeEvaluation(FlatTree tree, Interrupt* interrupt)
    : interrupt_(interrupt != nullptr ? *interrupt : never_),
      nodes_(tree.take_nodes()),
      tree_(tree),
      formulas_(std::move(tree), tree_, interrupt_),
      dims_(formulas_.max_length()),
      values_(tree_.size(), dims_, formulas_.lists(), formulas_.slots()),
      stack_(tree_.size(), dims_) {}

// The entries of formula lists that read nothing (numbers, empty texts,
// texts that do not parse, dimensions past a list's end) cannot take part in
// a cycle, and a list's results take the list form whatever their order: they
// are stored up front, one sweep per dimension, and are memo hits when their
// turn or a reader comes. A single formula waits for its turn: where it is
// first evaluated decides its form.
void TreeEvaluation::store_constants() {
    for (std::size_t d = 0; d < dims_; ++d) {
        for (NodePtr n = 0; n < tree_.size(); ++n) {
            if (!formulas_.is_list(n)) continue;
            bool covered = false;  // past a list's end the slot is no formula
            if (formulas_.formula_in(n, d, covered).is_formula()) continue;
            values_.set_value(n, d, compute(n, d), true);
        }
        if (interrupt_.tick()) return;
    }
}

void TreeEvaluation::evaluate_all() {
    if (dims_ == 0) return;
    store_constants();
    auto sweep = [&] {
        for (NodePtr n = 0; n < tree_.size(); ++n) {
            // Most nodes were read by a formula before their turn comes.
            if (values_.complete(n)) continue;
            for (std::size_t d = 0; d < dims_; ++d) {
                if (interrupt_.tick()) return;
                evaluate_dimension(n, d);
            }
        }
    };
    // A large tree is evaluated on a stack segment from the start, where
    // on-demand evaluations nest without a change of stack each time the
    // thread's own small budget runs out; a small one maps none unless its
    // depth needs one.
    constexpr std::size_t kSegmentFrom = 4096;  // cells
    if (tree_.size() * dims_ >= kSegmentFrom) {
        segments_.call(sweep, StackSegments::kReserve);
    } else {
        sweep();
    }
}

std::size_t TreeEvaluation::stack_need(NodePtr n, std::size_t d) const {
    bool covered = false;
    const FormulaSlot slot = formulas_.formula_in(n, d, covered);
    return covered && slot.is_deep() ? StackSegments::kReserve : StackSegments::kShallowStep;
}

EvalResult TreeEvaluation::compute(NodePtr n, std::size_t d) {
    bool covered = false;
    const FormulaSlot slot = formulas_.formula_in(n, d, covered);
    if (!covered) return EvalResult::empty();
    if (slot.is_number()) return EvalResult::number(formulas_.number(slot));
    if (slot.is_empty()) return EvalResult::empty();
    if (slot.is_syntax()) return evaluate(*slot.syntax(), TreeContext(*this, n, d)).as_eval_result();
    if (slot.steps() == nullptr) return EvalResult::error(EvalError::Error);
    return run_program(slot.steps(), n, d);
}

void TreeEvaluation::evaluate_dimension(NodePtr n, std::size_t d) {
    if (!values_.get_value(n, d)) segments_.call([&] { run_dimension(n, d); }, stack_need(n, d));
}

EvalResult TreeEvaluation::run_dimension(NodePtr n, std::size_t d) {
    stack_.push(n, d);
    const EvalResult result = compute(n, d);
    values_.set_value(n, d, result, formulas_.is_list(n));
    stack_.pop(n, d);
    return result;
}

EvalResult TreeEvaluation::read(NodePtr n, std::size_t d) {
    // Once stopped, every read ends at once, so that nested evaluations
    // however deep unwind quickly; what they store is never looked at.
    if (interrupt_.tick()) return EvalResult::error(EvalError::Error);
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
