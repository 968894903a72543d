#include "eval/tree.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "eval/context.hpp"
#include "eval/evaluator.hpp"
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

TreeIndex::TreeIndex(Node& root) {
    // Positions are 32-bit; a tree that large would not fit in memory anyway.
    for_each_preorder(root, [&](Node& n) {
        if (nodes_.size() == std::numeric_limits<NodePtr>::max()) throw std::length_error("tree too large");
        nodes_.push_back(&n);
    });
    // From the back, so that each child's end is known: a node's subtree ends
    // where the hops from its first child over each child's subtree end.
    end_.resize(nodes_.size());
    for (std::size_t i = nodes_.size(); i-- > 0;) {
        const Node& n = *nodes_[i];
        NodePtr end = static_cast<NodePtr>(i + 1);
        for (std::size_t c = 0; c < n.children.size(); ++c) end = end_[end];
        end_[i] = end;
    }
    index_names();
}

// Groups the visible nodes by name, each group in pre-order, all groups in
// one array.
void TreeIndex::index_names() {
    std::vector<std::uint32_t> group_of(nodes_.size(), 0);
    std::vector<std::uint32_t> counts;
    for (NodePtr i = 0; i < nodes_.size(); ++i) {
        if (nodes_[i]->is_hidden) continue;
        auto [it, added] = groups_.try_emplace(nodes_[i]->name, static_cast<std::uint32_t>(counts.size()));
        if (added) counts.push_back(0);
        group_of[i] = it->second;
        ++counts[it->second];
    }
    group_start_.assign(counts.size() + 1, 0);
    for (std::size_t g = 0; g < counts.size(); ++g) group_start_[g + 1] = group_start_[g] + counts[g];
    named_.resize(group_start_.back());
    std::vector<std::uint32_t> fill(group_start_.begin(), group_start_.end() - 1);
    for (NodePtr i = 0; i < nodes_.size(); ++i) {
        if (!nodes_[i]->is_hidden) named_[fill[group_of[i]]++] = i;
    }
}

std::span<const NodePtr> TreeIndex::find(std::string_view name) const {
    const auto it = groups_.find(name);
    if (it == groups_.end()) return {};
    const std::uint32_t g = it->second;
    return std::span<const NodePtr>(named_).subspan(group_start_[g], group_start_[g + 1] - group_start_[g]);
}

// -- MemoTable ----------------------------------------------------------------

MemoTable::MemoTable(std::size_t nodes, std::size_t dimensions, std::size_t lists)
    : dims_(dimensions),
      entries_(nodes),
      evaluated_(dimensions > kInline ? words_for(nodes * (dimensions - kInline)) : 0) {
    slots_.reserve(lists * dimensions);
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
    if (slots_.size() + dims_ > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("memo table too large");
    const auto first = static_cast<std::uint32_t>(slots_.size());
    slots_.resize(slots_.size() + dims_);
    for (std::size_t k = 0; k < dims_; ++k) {
        if (e.form == Form::Single && evaluated_in(n, k)) slots_[first + k] = {e.single, false};
    }
    e.form = Form::List;
    e.list = first;
}

void MemoTable::set_value(NodePtr n, std::size_t d, EvalResult r, bool list_formula) {
    Entry& e = entries_[n];
    if (e.form == Form::None && d == 0 && !list_formula) {
        e.form = Form::Single;
        e.single = r;
        mark_evaluated(n, 0);
        return;
    }
    if (e.form == Form::Single) {
        if (e.single == r) {
            mark_evaluated(n, d);
            return;
        }
        // No other dimension holds the old result: the entry may simply change.
        if (!evaluated_elsewhere(n, d)) {
            e.single = r;
            mark_evaluated(n, d);
            return;
        }
    }
    if (e.form != Form::List) to_list(n);
    slots_[e.list + d] = {r, false};
}

std::optional<AnyDim<EvalResult>> MemoTable::results(NodePtr n) const {
    const Entry& e = entries_[n];
    if (e.form == Form::None) return std::nullopt;
    if (e.form == Form::Single) return AnyDim<EvalResult>::single(e.single);
    std::vector<EvalResult> list;
    list.reserve(dims_);
    for (std::size_t k = 0; k < dims_; ++k) {
        const Slot& s = slots_[e.list + k];
        list.push_back(s.pending ? EvalResult::empty() : s.result);
    }
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

FormulaTable::FormulaTable(const TreeIndex& tree) {
    std::unordered_map<std::string_view, const Value*> seen;
    seen.reserve(tree.size());
    first_slot_.reserve(tree.size() + 1);
    auto add = [&](std::string_view text) {
        auto [it, added] = seen.try_emplace(text, nullptr);
        if (added) {
            ++distinct_;
            const ParseResult<Value> p = FormulaParser::parse_formula(text, arena_);
            if (p.ok()) it->second = arena_.make<Value>(p.value);
        }
        slots_.push_back(it->second);
    };
    for (NodePtr n = 0; n < tree.size(); ++n) {
        first_slot_.push_back(static_cast<std::uint32_t>(slots_.size()));
        const AnyDim<std::string>& formula = tree.node(n).formula;
        lists_ += formula.is_multi();
        for (const std::string& text : formula) add(text);
    }
    first_slot_.push_back(static_cast<std::uint32_t>(slots_.size()));
}

const Value* FormulaTable::formula(NodePtr n, std::size_t d, bool& covered) const {
    // A single formula has one slot, asked for as slot 0 in every dimension.
    const std::uint32_t first = first_slot_[n];
    covered = d < first_slot_[n + 1] - first;
    return covered ? slots_[first + d] : nullptr;
}

// -- TreeEvaluation -----------------------------------------------------------

TreeEvaluation::TreeEvaluation(Node& root)
    : tree_(root),
      found_(4096),
      dims_(get_max_dimensions(root)),
      formulas_(tree_),
      values_(tree_.size(), dims_, formulas_.lists()),
      stack_(tree_.size(), dims_) {}

std::span<const NodePtr> TreeEvaluation::find(std::string_view name) {
    // Fibonacci hashing of the address; the low bits are alignment.
    const auto address = reinterpret_cast<std::uintptr_t>(name.data());
    FoundName& slot = found_[(address * 0x9E3779B97F4A7C15ull) >> 52];
    if (slot.data != name.data() || slot.size != name.size()) slot = {name.data(), name.size(), tree_.find(name)};
    return slot.nodes;
}

void TreeEvaluation::evaluate_all() {
    if (dims_ == 0) return;
    segments_.call([&] {
        for (NodePtr n = 0; n < tree_.size(); ++n) {
            for (std::size_t d = 0; d < dims_; ++d) evaluate_dimension(n, d);
        }
    });
}

EvalResult TreeEvaluation::compute(NodePtr n, std::size_t d) {
    bool covered = false;
    const bool single = tree_.node(n).formula.is_single();
    const Value* formula = formulas_.formula(n, single ? 0 : d, covered);
    if (!covered) return EvalResult::empty();
    if (formula == nullptr) return EvalResult::error(EvalError::Error);
    return evaluate(*formula, TreeContext(*this, n, d)).as_eval_result();
}

void TreeEvaluation::evaluate_dimension(NodePtr n, std::size_t d) {
    if (!values_.get_value(n, d)) run_dimension(n, d);
}

EvalResult TreeEvaluation::run_dimension(NodePtr n, std::size_t d) {
    stack_.push(n, d);
    const EvalResult result = compute(n, d);
    values_.set_value(n, d, result, tree_.node(n).formula.is_multi());
    stack_.pop();
    return result;
}

EvalResult TreeEvaluation::read(NodePtr n, std::size_t d) {
    if (const auto known = values_.get_value(n, d)) return *known;
    if (stack_.is_circular(n, d)) {
        // The evaluation in progress further out overwrites this later.
        values_.set_value(n, d, EvalResult::error(EvalError::Ref), tree_.node(n).formula.is_multi());
        return EvalResult::error(EvalError::Ref);
    }
    EvalResult result;
    segments_.call([&] { result = run_dimension(n, d); });
    return result;
}

void TreeEvaluation::save_values() {
    for (NodePtr n = 0; n < tree_.size(); ++n) {
        if (auto results = values_.results(n)) tree_.node(n).value = std::move(*results);
    }
}

}  // namespace morvax
