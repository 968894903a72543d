// diagnose_tree: a second evaluation of the tree that keeps, beside every
// error, what made it. It follows the tree evaluation step for step (the
// same memo table, evaluation stack and name index, the syntax-tree
// evaluator's order of operands) so that its values are evaluate_tree's;
// evaluate_tree itself stays as lean as it is.
#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "diagnose/diagnose.hpp"
#include "diagnose/names.hpp"
#include "diagnose/spans.hpp"
#include "eval/evaluator.hpp"
#include "eval/formula_stack.hpp"
#include "eval/names.hpp"
#include "eval/memo_table.hpp"
#include "eval/reductions.hpp"
#include "eval/right_walks.hpp"
#include "eval/tree_index.hpp"
#include "parser/language.hpp"
#include "parser/parse.hpp"
#include "parser/unicode.hpp"
#include "references/references.hpp"

namespace morvax {
namespace {

// The part of a formula an error comes from.
enum class Site : std::uint8_t { None, NodeRef, Children, Right, Modifier, Function, Aggregation, Operator, Comparison };

// Why an error is what it is. Small: it travels with every error result.
struct Why {
    Cause cause = Cause::Propagated;
    Site site = Site::None;
    bool single_formula = false;  // Right, IndexOutOfRange: the node has no formula list
    bool has_source = false;
    // Cycle: `cycle` is the stack depth where the cycle starts until the
    // reader that found it keeps it as its cause (see Diagnosis::kept).
    bool cycle_on_stack = false;
    const void* at = nullptr;     // the part in the formula's syntax tree
    NodePtr source = 0;           // Propagated: the cell read
    std::uint32_t source_dimension = 0;
    std::uint32_t cycle = 0;      // Cycle: index of the cycle kept
};

struct Res {
    EvalResult r;
    Why why;  // when r is an error
};

// EvalNote with a Why for each error, and for a Many the reference that made it.
struct Note {
    Res single;
    std::vector<Res> list;
    bool many = false;
    Why origin;  // Many: Ambiguous or SeveralValues at the reference
    // Many of a bare `right` (its part): the later values are read only when
    // an aggregation takes them, not for every MANY! of a series.
    const void* later_of = nullptr;
    // Many of a name (its reference) whose nodes were all final when another
    // formula read them: read again only when an aggregation takes them, not
    // for the MANY! of every department that forgot an index.
    const NodeReference* name_of = nullptr;
    std::span<const NodePtr> nodes_of;

    Note(Res r) : single(r) {}  // NOLINT: a result is a single note
    static Note of_many(std::vector<Res> list, Why origin) {
        Note note{Res{}};
        note.many = true;
        note.list = std::move(list);
        note.origin = origin;
        return note;
    }
    Res as_result() const { return many ? Res{EvalResult::error(EvalError::Many), origin} : single; }
};

Res fail(EvalError e, Why why) { return {EvalResult::error(e), why}; }
Res number(double x) { return {EvalResult::number(x), {}}; }
Why at(Cause cause, Site site, const void* part) {
    Why why;
    why.cause = cause;
    why.site = site;
    why.at = part;
    return why;
}

// A cycle as it was found: the cells from the one read back to the reader,
// the first ones kept (a long cycle is shown shortened).
struct Cycle {
    static constexpr std::size_t kShown = 12;
    std::vector<std::pair<NodePtr, std::uint32_t>> cells;
    std::size_t length = 0;
    std::size_t start = 0;              // stack depth of the cell read
    std::uint64_t reader_pushed = 0;    // pushes made before the reader's
};

// A number read from a note, or the error that ends the operation.
struct NumberOrError {
    double value = 0;
    bool failed = false;
    Res error;
};

NumberOrError read_number(const Note& note) {
    if (note.many) return {0, true, note.as_result()};
    const EvalResult& r = note.single.r;
    if (r.is_error()) return {0, true, note.single};
    return {r.is_number() ? r.value() : 0.0, false, {}};
}

struct TruthOrError {
    bool value = false;
    bool failed = false;
    Res error;
};

TruthOrError truth(bool v) { return {v, false, {}}; }
TruthOrError truth_failed(Res error) { return {false, true, error}; }

class Diagnosis {
public:
    // The stack a step may use whose formula nests deeply: the walk that
    // carries causes takes several times the evaluator's frames.
    static constexpr std::size_t kDeepStep = std::min(4 * StackSegments::kReserve, StackSegments::kSegmentSize / 2);

    Diagnosis(Node& root, Interrupt* interrupt)
        : interrupt_(interrupt),
          flat_(root),
          tree_(std::as_const(flat_)),  // the names stay with flat_ for the details
          dims_(get_max_dimensions(root)),
          values_(tree_.size(), dims_, count_lists()),
          stack_(tree_.size(), dims_),
          top_of_(tree_.size(), kNone),
          names_(flat_) {
        first_slot_.reserve(flat_.size() + 1);
        std::size_t slots = 0;
        for (std::size_t n = 0; n < flat_.size(); ++n) {
            first_slot_.push_back(static_cast<std::uint32_t>(slots));
            slots += flat_.text_ids(n).size();
        }
        first_slot_.push_back(static_cast<std::uint32_t>(slots));
        slots_.resize(slots);
        parsed_.resize(flat_.texts().size());
    }

    void evaluate_all();
    std::vector<CellProblem> problems();
    void save_values(Node& root);

private:
    friend class Walk;
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    // One cell on the evaluation stack; `below` is the same node's cell
    // further down, so a cell's depth is found in as many steps as its node
    // has dimensions on the stack.
    struct Frame {
        NodePtr node;
        std::uint32_t dimension;
        std::uint32_t below;
        std::uint64_t pushed;  // pushes made before it
    };

    std::size_t count_lists() const {
        std::size_t lists = 0;
        for (std::size_t n = 0; n < flat_.size(); ++n) lists += flat_.is_list(n);
        return lists;
    }
    static std::uint64_t key(NodePtr n, std::size_t d) { return std::uint64_t{n} << 32 | d; }

    // The id of what n computes in d among the flat tree's texts, or kNone.
    std::uint32_t text_id_of(NodePtr n, std::size_t d) const {
        const std::span<const std::uint32_t> ids = flat_.text_ids(n);
        const std::size_t slot = flat_.is_list(n) ? d : 0;
        return slot < ids.size() ? ids[slot] : kNone;
    }
    // The text n evaluates in d; empty past the end of its list.
    std::string_view text_of(NodePtr n, std::size_t d) const {
        const std::uint32_t id = text_id_of(n, d);
        return id != kNone ? flat_.texts().text(id) : std::string_view();
    }
    struct Parsed {
        const Value* value = nullptr;  // null: does not parse
        bool deep = false;
        bool known = false;
    };
    // The parse of the flat tree's text `id`, made once.
    Parsed parsed(std::uint32_t id);
    std::size_t stack_need(NodePtr n, std::size_t d);
    bool constant_unread(NodePtr n);
    // What n computes in d: its text read once, as a plain number or parsed.
    struct Slot {
        enum class Kind : std::uint8_t { Unread, Uncovered, Number, Parsed, Unparsable };
        Kind kind = Kind::Unread;
        double number = 0;
        const Value* value = nullptr;
        bool deep = false;  // the formula nests deeply
    };
    const Slot& slot(NodePtr n, std::size_t d);

    void push(NodePtr n, std::size_t d);
    void pop();
    std::size_t depth_of(NodePtr n, std::size_t d) const;

    Res compute(NodePtr n, std::size_t d, bool& uniform);
    EvalResult run_dimension(NodePtr n, std::size_t d);
    Res read(NodePtr m, std::size_t d, Why via);
    Why found_cycle(NodePtr m, std::size_t d, Why via);
    Why settled(NodePtr n, std::size_t d, Why why) const;
    Why kept(Why why);
    std::uint32_t source_dimension(NodePtr m, std::size_t d) const {
        return values_.shape(m) == MemoTable::Shape::Single ? 0 : static_cast<std::uint32_t>(d);
    }

    // What a cell's problem is, in words: one step per cause.
    std::string detail(NodePtr n, std::size_t d, const Why& why);
    std::string unknown_name_detail(std::string_view name);
    std::string ambiguous_detail(std::string_view name) const;
    std::string index_detail(NodePtr n, std::size_t d, const Why& why) const;
    std::string propagated_detail(const Why& why) const;
    std::string cycle_text(const Cycle& cycle) const;

    Interrupt* interrupt_;
    FlatTree flat_;
    TreeIndex tree_;
    std::size_t dims_;
    MemoTable values_;
    EvalStack stack_;
    StackSegments segments_;
    std::vector<Frame> frames_;
    std::vector<std::uint32_t> top_of_;  // per node: its topmost frame, kNone when off the stack
    RightWalks right_walks_;
    std::uint64_t pushes_ = 0;
    std::unordered_map<std::uint64_t, Why> causes_;  // per cell holding an error
    std::vector<Cycle> cycles_;
    Arena arena_;
    std::vector<Parsed> parsed_;  // per distinct formula text
    std::vector<std::uint32_t> first_slot_;  // node n's texts: [first_slot_[n], first_slot_[n + 1])
    std::vector<Slot> slots_;
    std::unordered_map<const Value*, std::unordered_map<const void*, ByteSpan>> spans_;  // of formulas with problems
    NameHints names_;
    RecentNames found_{tree_};  // the nodes of the names the formulas read
    // A name's reductions: see Reductions::take. An error is kept only
    // where it is no reader's own (`errors`): a cause names the reader's
    // reference.
    template <class Make>
    Reductions::Kept take_reduced(const Reductions::Key& key, std::span<const NodePtr> targets, bool& uniform,
                                  bool uniformity, bool errors, Make&& make) {
        return reduced_.take(key, targets, uniform, {stack_, uniformity ? &values_ : nullptr, nullptr, errors},
                             std::forward<Make>(make));
    }
    Reductions reduced_;
};

// The evaluation of one formula: the syntax-tree evaluator's walk, carrying
// a Why with every error.
class Walk {
public:
    Walk(Diagnosis& tree, NodePtr node, std::size_t dimension) : tree_(tree), node_(node), d_(dimension) {}

    Note value(const Value& v) {
        switch (v.kind) {
            case Value::Kind::Number: return number(v.number);
            case Value::Kind::Expression: return expression(*v.expression);
            case Value::Kind::Empty: break;
        }
        return Res{};
    }

private:
    // The fold of an operator level: the first operand, then each operation
    // applying `step(acc, operation, operand)`, which may fail.
    template <class Level, class Operand, class Step>
    Note fold(const Level& first, const auto& rest, Operand&& operand, Step&& step) {
        if (rest.empty()) return operand(first);
        const NumberOrError a = read_number(operand(first));
        if (a.failed) return a.error;
        double acc = a.value;
        for (const auto& op : rest) {
            const NumberOrError b = read_number(operand(op_operand(op)));
            if (b.failed) return b.error;
            if (const std::optional<Res> failed = step(acc, op, b.value)) return *failed;
        }
        return number(acc);
    }
    static const MultiplicationExpression& op_operand(const AdditionOperation& op) { return op.operand; }
    static const PowerExpression& op_operand(const MultiplicationOperation& op) { return op.operand; }
    static const UnaryExpression& op_operand(const UnaryExpression& op) { return op; }

    Note expression(const Expression& e) {
        return fold(e.first, e.rest, [&](const MultiplicationExpression& m) { return multiplication(m); },
                    [](double& acc, const AdditionOperation& op, double b) -> std::optional<Res> {
                        acc = op.op == AddOperator::Add ? acc + b : acc - b;
                        return std::nullopt;
                    });
    }
    Note multiplication(const MultiplicationExpression& e) {
        return fold(e.first, e.rest, [&](const PowerExpression& p) { return power(p); },
                    [](double& acc, const MultiplicationOperation& op, double b) -> std::optional<Res> {
                        if (multiply_step(op.op, acc, b)) return std::nullopt;
                        return fail(EvalError::Value, at(Cause::DivisionByZero, Site::Operator, &op));
                    });
    }
    Note power(const PowerExpression& e) {
        return fold(e.base, e.exponents, [&](const UnaryExpression& u) { return unary(u); },
                    [](double& acc, const UnaryExpression&, double x) -> std::optional<Res> {
                        acc = std::pow(acc, x);
                        return std::nullopt;
                    });
    }
    Note unary(const UnaryExpression& e) {
        Note note = atomic(e.operand);
        if (e.sign != Sign::Minus) return note;
        if (note.many) return note.as_result();
        const EvalResult& r = note.single.r;
        if (r.is_error()) return note;
        if (r.is_empty()) return number(-0.0);
        return number(-r.value());
    }

    Note atomic(const AtomicExpression& a);
    Note named_reference(const NodeReference& ref);
    Note listed(std::vector<Res> values, const Index& index, Site site, const void* part);
    // The values of a note as an aggregation takes them; a bare right's
    // are read into `later`.
    std::span<const Res> items(const Note& note, std::vector<Res>& later) {
        if (!note.many) return {&note.single, 1};
        if (note.name_of != nullptr) {
            later = read_designated(note.nodes_of, d_, Site::NodeRef, note.name_of);
            return later;
        }
        if (note.later_of == nullptr) return note.list;
        later = later_values(note.later_of);
        return later;
    }
    Note modifier(const ModifierCall& call);
    Note function(const FunctionCall& call);
    Note aggregation(const AggregationCall& call);
    Res reduce(const AggregationCall& call, const List<Expression>& args);
    Res coalesce(const List<Expression>& args);
    // Reads all of `nodes` (kFrom or more of them, all of a name) in this
    // dimension, their values into `values` when given, unless they were all
    // read before and final: then false, with nothing read.
    bool read_all(std::span<const NodePtr> nodes, Site site, const void* part, std::vector<Res>* values = nullptr);
    // The nodes of `ref` where it reads all of a name and has enough nodes
    // for its reductions to be kept; else none.
    std::span<const NodePtr> read_whole(const NodeReference* ref) const {
        if (ref == nullptr || ref->index) return {};
        const std::span<const NodePtr> nodes = tree_.found_.find(ref->name);
        return nodes.size() >= Reductions::kFrom ? nodes : std::span<const NodePtr>();
    }
    Note conditional(const ConditionalCall& call);

    TruthOrError condition(const OrExpression& e);
    TruthOrError conjunction(const AndExpression& e);
    TruthOrError negation(const NegationExpression& e);
    TruthOrError comparison(const ComparisonExpression& c);

    // The reads of the context, each error with its Why.
    std::vector<Res> named(const NodeReference& ref, std::size_t dimension, Site site, const void* part);
    // The nodes `ref` designates; false, with the failure, when none.
    bool designated(const NodeReference& ref, Site site, const void* part, std::span<const NodePtr>& nodes,
                    Res& failure) const;
    std::vector<Res> read_designated(std::span<const NodePtr> nodes, std::size_t dimension, Site site,
                                     const void* part);
    Res read_designated(NodePtr n, std::size_t dimension, Site site, const void* part);
    std::vector<Res> children(const void* part);
    // Evaluates the later dimensions of a formula list in order, as the
    // evaluation's walk does; false for a single formula.
    bool walk_right(const void* part);
    // The node's later values once walked, in order.
    std::vector<Res> later_values(const void* part);
    std::size_t length() const { return tree_.flat_.text_ids(node_).size(); }

    Diagnosis& tree_;
    NodePtr node_;
    std::size_t d_;

public:
    // Whether the result is the same in every dimension, as for the
    // evaluation's machine: every cell read in this dimension holds one
    // result in all of them, and the nodes read in dimension 0 by total and
    // ratio were none in progress.
    bool uniform() const { return uniform_; }

private:
    bool uniform_ = true;
    bool reading_base_ = false;  // the modifier's reads in dimension 0
};

Note Walk::atomic(const AtomicExpression& a) {
    switch (a.index()) {
        case atomic_index<NumberLiteral>: return number(std::get<NumberLiteral>(a).value);
        case atomic_index<NodeReference>: return named_reference(std::get<NodeReference>(a));
        case atomic_index<ChildrenReference>: {
            const auto& ref = std::get<ChildrenReference>(a);
            return listed(children(&ref), ref.index, Site::Children, &ref);
        }
        case atomic_index<RightReference>: {
            const auto& ref = std::get<RightReference>(a);
            if (!walk_right(&ref)) {
                // A single formula has no later dimensions: its right is a REF!.
                Why why = at(Cause::IndexOutOfRange, Site::Right, &ref);
                why.single_formula = true;
                return listed({fail(EvalError::Ref, why)}, ref.index, Site::Right, &ref);
            }
            if (!ref.index) {
                // MANY!, whose values only an aggregation reads.
                Note note = Note::of_many({}, at(Cause::SeveralValues, Site::Right, &ref));
                note.later_of = &ref;
                return note;
            }
            // One later value is read: building the list of all of them in
            // every dimension would make a series of right[1] quadratic.
            const std::size_t later = length() > d_ + 1 ? length() - d_ - 1 : 0;
            if (*ref.index == 0 || *ref.index > later) {
                return fail(EvalError::Ref, at(Cause::IndexOutOfRange, Site::Right, &ref));
            }
            uniform_ = false;
            return tree_.read(node_, d_ + *ref.index, at(Cause::Propagated, Site::Right, &ref));
        }
        case atomic_index<ModifierCall>: return modifier(std::get<ModifierCall>(a));
        case atomic_index<FunctionCall>: return function(std::get<FunctionCall>(a));
        case atomic_index<AggregationCall>: return aggregation(std::get<AggregationCall>(a));
        case atomic_index<ConditionalCall>: return conditional(std::get<ConditionalCall>(a));
        case atomic_index<EmptyLiteral>: return Res{};
        default: return expression(*std::get<Parenthesised>(a).inner);
    }
}

Note Walk::named_reference(const NodeReference& ref) {
    // Nearly every reference designates one node: read without a list.
    std::span<const NodePtr> nodes;
    Res failure;
    if (!designated(ref, Site::NodeRef, &ref, nodes, failure)) return failure;
    if (nodes.size() == 1) return read_designated(nodes.front(), d_, Site::NodeRef, &ref);
    const Why ambiguous = at(Cause::Ambiguous, Site::NodeRef, &ref);
    if (nodes.size() < Reductions::kFrom) return Note::of_many(read_designated(nodes, d_, Site::NodeRef, &ref), ambiguous);
    std::vector<Res> values;
    if (read_all(nodes, Site::NodeRef, &ref, &values)) return Note::of_many(std::move(values), ambiguous);
    Note note = Note::of_many({}, ambiguous);
    note.name_of = &ref;
    note.nodes_of = nodes;
    return note;
}

bool Walk::read_all(std::span<const NodePtr> nodes, Site site, const void* part, std::vector<Res>* values) {
    bool read = false;
    tree_.take_reduced({nodes.data(), d_, Reductions::kReadAll}, nodes, uniform_, true, true, [&] {
        std::vector<Res> got = read_designated(nodes, d_, site, part);
        if (values != nullptr) *values = std::move(got);
        read = true;
        return EvalResult::error(EvalError::Many);
    });
    return read;
}

Note Walk::listed(std::vector<Res> values, const Index& index, Site site, const void* part) {
    if (!index) return Note::of_many(std::move(values), at(Cause::SeveralValues, site, part));
    if (*index == 0 || *index > values.size()) return fail(EvalError::Ref, at(Cause::IndexOutOfRange, site, part));
    return values[*index - 1];
}

Note Walk::modifier(const ModifierCall& call) {
    const std::span<const NodePtr> whole = read_whole(&call.reference);
    std::optional<Res> failed;
    auto add_up = [&] {
        reading_base_ = true;
        const std::vector<Res> base = named(call.reference, 0, Site::Modifier, &call);
        reading_base_ = false;
        double sum = -0.0;
        for (const Res& r : base) {
            if (r.r.is_error()) {
                failed = r;
                return r.r;
            }
            if (r.r.is_number()) sum += r.r.value();
        }
        return EvalResult::number(sum);
    };
    const double total = whole.empty() ? add_up().value()
                                       : tree_.take_reduced({whole.data(), 0, EvalContext::kTotalOf}, whole, uniform_,
                                                            false, false, add_up).result.value();
    if (failed) return *failed;
    if (call.name == ModifierName::Total) return number(total);
    // Nodes are designated (else reading them failed above): the total is of some.
    if (total == 0) return fail(EvalError::Value, at(Cause::DivisionByZero, Site::Modifier, &call));
    const Why ambiguous = at(Cause::Ambiguous, Site::Modifier, &call);
    if (!whole.empty()) {
        read_all(whole, Site::Modifier, &call);
        return fail(EvalError::Many, ambiguous);
    }
    const std::vector<Res> now = named(call.reference, d_, Site::Modifier, &call);
    if (now.size() > 1) return fail(EvalError::Many, ambiguous);
    const Res& r = now.front();
    if (r.r.is_number()) return number(r.r.value() / total);
    if (r.r.is_empty()) return number(0);
    return r;
}

Note Walk::function(const FunctionCall& call) {
    if (call.name == FunctionName::IfError) {
        Note x = expression(call.args[0]);
        if (x.many || !x.single.r.is_error()) return x;
        if (call.args.size() == 1) return Res{};
        return expression(call.args[1]);
    }
    const NumberOrError x = read_number(expression(call.args[0]));
    if (x.failed) return x.error;
    const bool two = call.args.size() > 1;
    const Note second = two ? expression(call.args[1]) : Note(Res{});
    const NumberOrError y = read_number(second);
    if (two && y.failed) return y.error;
    const bool second_empty = !second.many && second.single.r.is_empty();
    const EvalResult r = apply_function(call.name, x.value, two, second_empty, y.value).as_eval_result();
    if (!r.is_error()) return Res{r, {}};
    const Cause cause = call.name == FunctionName::Mod ? Cause::DivisionByZero : Cause::InvalidArgument;
    return fail(r.error_kind(), at(cause, Site::Function, &call));
}

Note Walk::aggregation(const AggregationCall& call) {
    const List<Expression> args = call.args.value_or(List<Expression>{});
    const std::span<const NodePtr> whole = read_whole(args.size() == 1 ? whole_name(args[0]) : nullptr);
    if (whole.empty()) return reduce(call, args);
    std::optional<Res> made;
    const Reductions::Kept kept = tree_.take_reduced({whole.data(), d_, static_cast<int>(call.name)}, whole, uniform_,
                                                     true, false, [&] {
                                                         made = reduce(call, args);
                                                         return made->r;
                                                     });
    return made ? *made : Res{kept.result, {}};
}

Res Walk::coalesce(const List<Expression>& args) {
    for (const Expression& arg : args) {
        Note note = expression(arg);
        if (!note.many) {
            if (!note.single.r.is_empty()) return note.single;
            continue;
        }
        if (note.later_of != nullptr) {
            // Up to the first later value that holds something, as the
            // evaluation reads it: the whole list would make a series of
            // coalesce(right) cost the square of its length.
            uniform_ = false;
            for (std::size_t k = d_ + 1; k < length(); ++k) {
                const Res r = tree_.read(node_, k, at(Cause::Propagated, Site::Right, note.later_of));
                if (!r.r.is_empty()) return r;
            }
            continue;
        }
        if (note.name_of != nullptr) {
            // Final, the nodes are read up to the first that holds something.
            for (const NodePtr n : note.nodes_of) {
                const Res r = read_designated(n, d_, Site::NodeRef, note.name_of);
                if (!r.r.is_empty()) return r;
            }
            continue;
        }
        std::vector<Res> later;
        for (const Res& r : items(note, later)) {
            if (!r.r.is_empty()) return r;
        }
    }
    return Res{};
}

Res Walk::reduce(const AggregationCall& call, const List<Expression>& args) {
    if (call.name == AggregationName::Coalesce) return coalesce(args);
    std::vector<double> xs;
    for (const Expression& arg : args) {
        const Note note = expression(arg);
        std::vector<Res> later;
        for (const Res& r : items(note, later)) {
            if (r.r.is_error()) return r;
            if (r.r.is_number()) xs.push_back(r.r.value());
        }
    }
    const EvalResult r = reduce_numbers(call.name, xs).as_eval_result();
    if (!r.is_error()) return Res{r, {}};
    return fail(r.error_kind(), at(Cause::InvalidArgument, Site::Aggregation, &call));
}

Note Walk::conditional(const ConditionalCall& call) {
    for (const CaseClause& clause : call.clauses) {
        const TruthOrError t = condition(clause.condition.or_expression);
        if (t.failed) return t.error;
        if (t.value) return expression(*clause.result);
    }
    if (call.default_value != nullptr) return expression(*call.default_value);
    return Res{};
}

TruthOrError Walk::condition(const OrExpression& e) {
    TruthOrError t = conjunction(e.first);
    for (std::size_t i = 0; i < e.rest.size() && !t.failed && !t.value; ++i) t = conjunction(e.rest[i]);
    return t;
}

TruthOrError Walk::conjunction(const AndExpression& e) {
    TruthOrError t = negation(e.first);
    for (std::size_t i = 0; i < e.rest.size() && !t.failed && t.value; ++i) t = negation(e.rest[i]);
    return t;
}

TruthOrError Walk::negation(const NegationExpression& e) {
    TruthOrError t = comparison(e.comparison);
    if (!t.failed && e.negated) t.value = !t.value;
    return t;
}

TruthOrError Walk::comparison(const ComparisonExpression& c) {
    if (const auto* cmp = std::get_if<Comparison>(&c)) {
        const Note left = expression(*cmp->left);
        const Note right = expression(*cmp->right);
        if (left.many || right.many) return truth_failed((left.many ? left : right).as_result());
        const Why empty_side = at(Cause::InvalidArgument, Site::Comparison, cmp);
        for (const Res* side : {&left.single, &right.single}) {
            if (side->r.is_error()) return truth_failed(*side);
            if (side->r.is_empty()) return truth_failed(fail(EvalError::Value, empty_side));
        }
        const double l = left.single.r.value();
        const double r = right.single.r.value();
        switch (cmp->op) {
            case ComparisonOperator::EqualTo: return truth(l == r);
            case ComparisonOperator::NotEqual: return truth(l != r);
            case ComparisonOperator::GreaterThan: return truth(l > r);
            case ComparisonOperator::LessThan: return truth(l < r);
            case ComparisonOperator::GreaterOrEqual: return truth(l >= r);
            case ComparisonOperator::LessOrEqual: return truth(l <= r);
        }
        return truth(false);
    }
    if (const auto* bare = std::get_if<BareCondition>(&c)) {
        const Note note = expression(*bare->expression);
        if (note.many) return truth_failed(note.as_result());
        const EvalResult& r = note.single.r;
        if (r.is_error()) return truth_failed(note.single);
        return truth(r.is_number() && r.value() != 0);
    }
    return condition(std::get<ParenthesisedCondition>(c).inner->or_expression);
}

bool Walk::designated(const NodeReference& ref, Site site, const void* part, std::span<const NodePtr>& nodes,
                      Res& failure) const {
    nodes = tree_.found_.find(ref.name);
    if (nodes.empty()) {
        const Cause cause = tree_.names_.only_hidden(ref.name) ? Cause::Hidden : Cause::UnknownName;
        failure = fail(EvalError::Ref, at(cause, site, part));
        return false;
    }
    if (ref.index) {
        if (*ref.index == 0 || *ref.index > nodes.size()) {
            failure = fail(EvalError::Ref, at(Cause::IndexOutOfRange, site, part));
            return false;
        }
        nodes = nodes.subspan(*ref.index - 1, 1);
    }
    return true;
}

Res Walk::read_designated(NodePtr n, std::size_t dimension, Site site, const void* part) {
    if (reading_base_ && tree_.stack_.is_circular(n, dimension)) uniform_ = false;
    Res r = tree_.read(n, dimension, at(Cause::Propagated, site, part));
    if (!reading_base_) uniform_ = uniform_ && tree_.values_.uniform(n);
    r.r = r.r.as_own();
    return r;
}

// Once one of several values is an error, only the first that is not Empty
// and the error still count (as in the evaluation's reads of a name): the
// rest are read, not kept.
std::vector<Res> Walk::read_designated(std::span<const NodePtr> nodes, std::size_t dimension, Site site,
                                       const void* part) {
    std::vector<Res> out;
    out.reserve(nodes.size());
    bool settled = false;
    for (const NodePtr n : nodes) {
        Res r = read_designated(n, dimension, site, part);
        if (settled) continue;
        if (!r.r.is_error() || nodes.size() == 1) {
            out.push_back(r);
            continue;
        }
        const auto first = std::find_if(out.begin(), out.end(), [](const Res& x) { return !x.r.is_empty(); });
        out = first != out.end() ? std::vector<Res>{*first, r} : std::vector<Res>{r, Res{}};
        settled = true;
    }
    return out;
}

std::vector<Res> Walk::named(const NodeReference& ref, std::size_t dimension, Site site, const void* part) {
    std::span<const NodePtr> nodes;
    Res failure;
    if (!designated(ref, site, part, nodes, failure)) return {failure};
    return read_designated(nodes, dimension, site, part);
}

std::vector<Res> Walk::children(const void* part) {
    std::vector<Res> out;
    out.reserve(tree_.flat_.children(node_));
    const NodePtr end = tree_.tree_.subtree_end(node_);
    for (NodePtr child = node_ + 1; child < end; child = tree_.tree_.subtree_end(child)) {
        Res r = tree_.read(child, d_, at(Cause::Propagated, Site::Children, part));
        uniform_ = uniform_ && tree_.values_.uniform(child);
        r.r = r.r.as_own();
        out.push_back(r);
    }
    return out;
}

bool Walk::walk_right(const void* part) {
    if (!tree_.flat_.is_list(node_)) return false;
    uniform_ = false;
    tree_.right_walks_.walk(node_, d_, length(), tree_.flat_.size(), [&](std::size_t k) {
        tree_.read(node_, k, at(Cause::Propagated, Site::Right, part));
    });
    return true;
}

std::vector<Res> Walk::later_values(const void* part) {
    std::vector<Res> out;
    out.reserve(length() > d_ + 1 ? length() - d_ - 1 : 0);
    for (std::size_t k = d_ + 1; k < length(); ++k) {
        out.push_back(tree_.read(node_, k, at(Cause::Propagated, Site::Right, part)));
    }
    return out;
}

// -- the evaluation -----------------------------------------------------------

Diagnosis::Parsed Diagnosis::parsed(std::uint32_t id) {
    Parsed& known = parsed_[id];
    if (!known.known) {
        StackRoom room;
        ParseResult<Value> p = parse_formula_where_it_fits(segments_, flat_.texts().text(id), arena_, room);
        if (p.ok()) known = {arena_.make<Value>(p.value), room == StackRoom::Deep};
        known.known = true;
    }
    return known;
}

void Diagnosis::push(NodePtr n, std::size_t d) {
    stack_.push(n, d);
    frames_.push_back({n, static_cast<std::uint32_t>(d), top_of_[n], pushes_++});
    top_of_[n] = static_cast<std::uint32_t>(frames_.size() - 1);
}

void Diagnosis::pop() {
    stack_.pop(frames_.back().node, frames_.back().dimension);
    top_of_[frames_.back().node] = frames_.back().below;
    frames_.pop_back();
}

std::size_t Diagnosis::depth_of(NodePtr n, std::size_t d) const {
    std::uint32_t f = top_of_[n];
    while (f != kNone && frames_[f].dimension != d) f = frames_[f].below;
    return f;
}

void Diagnosis::evaluate_all() {
    if (dims_ == 0) return;
    std::optional<Interrupt::OnSegments> polls;
    if (interrupt_ != nullptr) polls.emplace(*interrupt_, segments_);
    auto sweep = [&] {
        for (NodePtr n = 0; n < tree_.size(); ++n) {
            if (constant_unread(n)) {
                bool uniform = false;
                const Res r = compute(n, 0, uniform);
                values_.set_everywhere(n, r.r);
                if (r.r.is_error()) causes_[key(n, 0)] = r.why;
                continue;
            }
            for (std::size_t d = 0; d < dims_ && !values_.complete(n); ++d) {
                if (!values_.get_value(n, d)) segments_.call([&] { run_dimension(n, d); }, stack_need(n, d));
            }
        }
    };
    // Every step asks for a segment's room: the sweep runs on one from the
    // start, so that the thread switches stacks once a call, not once a cell.
    segments_.call(sweep, StackSegments::kReserve);
}

// A single formula that reads nothing, not read by any formula yet: stored
// for every dimension at once, as the evaluation does, rather than once per
// dimension (a tree of many such nodes beside one long formula list).
bool Diagnosis::constant_unread(NodePtr n) {
    if (flat_.is_list(n) || values_.shape(n) != MemoTable::Shape::Unset) return false;
    const Slot& s = slot(n, 0);
    switch (s.kind) {
        case Slot::Kind::Number:
        case Slot::Kind::Unparsable: return true;
        case Slot::Kind::Parsed: return s.value->kind != Value::Kind::Expression;
        default: return false;
    }
}

std::size_t Diagnosis::stack_need(NodePtr n, std::size_t d) {
    return slot(n, d).deep ? kDeepStep : StackSegments::kReserve;
}

const Diagnosis::Slot& Diagnosis::slot(NodePtr n, std::size_t d) {
    static const Slot uncovered{Slot::Kind::Uncovered};
    const std::size_t index = first_slot_[n] + (flat_.is_list(n) ? d : 0);
    if (index >= first_slot_[n + 1]) return uncovered;
    Slot& s = slots_[index];
    if (s.kind != Slot::Kind::Unread) return s;
    const std::uint32_t id = flat_.text_ids(n)[index - first_slot_[n]];
    if (convert_plain_number(flat_.texts().text(id), s.number)) {
        s.kind = Slot::Kind::Number;
    } else {
        const Parsed p = parsed(id);
        s.value = p.value;
        s.deep = p.deep;
        s.kind = s.value != nullptr ? Slot::Kind::Parsed : Slot::Kind::Unparsable;
    }
    return s;
}

Res Diagnosis::compute(NodePtr n, std::size_t d, bool& uniform) {
    const Slot& s = slot(n, d);
    uniform = true;
    switch (s.kind) {
        case Slot::Kind::Number: return number(s.number);
        case Slot::Kind::Parsed: {
            Walk walk(*this, n, d);
            const Res result = walk.value(*s.value).as_result();
            uniform = walk.uniform();
            return result;
        }
        case Slot::Kind::Unparsable: return fail(EvalError::Error, at(Cause::Syntax, Site::None, nullptr));
        default: return {};
    }
}

EvalResult Diagnosis::run_dimension(NodePtr n, std::size_t d) {
    if (interrupt_ != nullptr && interrupt_->tick()) throw Interrupted();
    // Stored for every dimension at once where the evaluation does so.
    const bool list = flat_.is_list(n);
    const bool first = values_.first_evaluation(n, d, list);
    push(n, d);
    bool uniform = false;
    const Res result = compute(n, d, uniform);
    values_.store(n, d, result.r, list, first, uniform);
    // A cell is run once, so no cause of its own is stored yet.
    if (result.r.is_error()) causes_[key(n, d)] = settled(n, d, kept(result.why));
    pop();
    return result.r;
}

// A cell whose error came from a cell of a cycle it belongs to takes part
// in the cycle itself: so every cell of a cycle says so, not only the one
// whose read closed it.
Why Diagnosis::settled(NodePtr n, std::size_t d, Why why) const {
    if (why.cause != Cause::Propagated || !why.has_source) return why;
    const auto it = causes_.find(key(why.source, why.source_dimension));
    if (it == causes_.end() || it->second.cause != Cause::Cycle) return why;
    const Cycle& cycle = cycles_[it->second.cycle];
    const Frame& self = frames_[depth_of(n, d)];
    // A frame pushed after the reader's came after the cycle was found: the
    // reader was the top of the stack then, and its cycle's frames below it
    // are still the same ones while it runs.
    if (depth_of(n, d) < cycle.start || self.pushed > cycle.reader_pushed) return why;
    why.cause = Cause::Cycle;
    why.cycle = it->second.cycle;
    why.has_source = false;
    return why;
}

Res Diagnosis::read(NodePtr m, std::size_t d, Why via) {
    if (const auto known = values_.get_value(m, d)) {
        if (!known->is_error()) return {*known, {}};
        // Still being evaluated: the value stored when the cycle was found.
        if (stack_.is_circular(m, d)) return {*known, found_cycle(m, d, via)};
        via.has_source = true;
        via.source = m;
        via.source_dimension = source_dimension(m, d);
        return {*known, via};
    }
    if (stack_.is_circular(m, d)) {
        values_.set_value(m, d, EvalResult::error(EvalError::Ref), flat_.is_list(m));
        return {EvalResult::error(EvalError::Ref), found_cycle(m, d, via)};
    }
    EvalResult result;
    segments_.call([&] { result = run_dimension(m, d); }, stack_need(m, d));
    if (!result.is_error()) return {result, {}};
    via.has_source = true;
    via.source = m;
    via.source_dimension = source_dimension(m, d);
    return {result, via};
}

// Costs nothing kept: a formula that reads many cells in progress finds as
// many cycles, and mostly passes them over for its first error.
Why Diagnosis::found_cycle(NodePtr m, std::size_t d, Why via) {
    via.cause = Cause::Cycle;
    via.cycle_on_stack = true;
    via.cycle = static_cast<std::uint32_t>(depth_of(m, d));
    return via;
}

// The cause a cell stores, a cycle it found recorded now: a cycle's Why
// leaves the formula of its reader only as the reader's own result, so the
// reader's frame is again the top of the stack, above the same frames as
// when the cycle was found.
Why Diagnosis::kept(Why why) {
    if (!why.cycle_on_stack) return why;
    Cycle cycle;
    cycle.start = why.cycle;
    cycle.length = frames_.size() - cycle.start;
    cycle.reader_pushed = frames_.back().pushed;
    const std::size_t shown = std::min(cycle.length, Cycle::kShown);
    for (std::size_t f = cycle.start; f < cycle.start + shown; ++f) {
        cycle.cells.emplace_back(frames_[f].node, frames_[f].dimension);
    }
    why.cycle_on_stack = false;
    why.cycle = static_cast<std::uint32_t>(cycles_.size());
    cycles_.push_back(std::move(cycle));
    return why;
}

void Diagnosis::save_values(Node& root) {
    std::size_t n = 0;
    for_each_preorder(root, [&](Node& node) {
        if (auto results = values_.results(static_cast<NodePtr>(n))) node.value = std::move(*results);
        ++n;
    });
}

// -- the problems -------------------------------------------------------------

namespace {

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

// "1 child", "2 children": a count and its noun.
std::string counted(std::size_t count, std::string_view one, std::string_view many) {
    return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// How a reference to `name` is written, for the advice in a detail.
std::string written(std::string_view name) {
    return get_preferred_reference_format(name).value_or("@{" + std::string(name) + "}");
}

const NodeReference& reference_of(const Why& why) {
    if (why.site == Site::Modifier) return static_cast<const ModifierCall*>(why.at)->reference;
    return *static_cast<const NodeReference*>(why.at);
}

Index index_of(const Why& why) {
    switch (why.site) {
        case Site::Children: return static_cast<const ChildrenReference*>(why.at)->index;
        case Site::Right: return static_cast<const RightReference*>(why.at)->index;
        default: return reference_of(why).index;
    }
}

std::string division_detail(const Why& why) {
    if (why.site == Site::Modifier) {
        return "ratio: the total of " + quoted(reference_of(why).name) + " in dimension 0 is 0";
    }
    if (why.site == Site::Function) return "the second argument of mod is 0";
    return static_cast<const MultiplicationOperation*>(why.at)->op == MulOperator::Modulo
               ? "the value right of '%' is 0"
               : "the value right of '/' is 0";
}

std::string invalid_argument_detail(const Why& why) {
    if (why.site == Site::Comparison) return "comparison with an empty value";
    if (why.site == Site::Function) {
        return static_cast<const FunctionCall*>(why.at)->name == FunctionName::Root
                   ? "root of degree 0"
                   : "log of a number that is not above 0, or to a base that is not above 0 or is 1";
    }
    if (static_cast<const AggregationCall*>(why.at)->name == AggregationName::Stdev) {
        return "stdev of fewer than two values";
    }
    return std::string(keyword(static_cast<const AggregationCall*>(why.at)->name)) + " of no values";
}

}  // namespace

std::string Diagnosis::cycle_text(const Cycle& cycle) const {
    const std::uint32_t first_dimension = cycle.cells.front().second;
    auto cell = [&](std::pair<NodePtr, std::uint32_t> c) {
        std::string text(flat_.name_text(c.first));
        if (c.second != first_dimension) text += " (dimension " + std::to_string(c.second) + ")";
        return text;
    };
    std::string text;
    for (const auto& c : cycle.cells) text += cell(c) + " -> ";
    if (cycle.length > cycle.cells.size()) {
        text += "... (" + std::to_string(cycle.length) + " cells in all) -> ";
    }
    return text + cell(cycle.cells.front());
}

std::string Diagnosis::detail(NodePtr n, std::size_t d, const Why& why) {
    switch (why.cause) {
        case Cause::Syntax: return {};
        case Cause::UnknownName: return unknown_name_detail(reference_of(why).name);
        case Cause::Hidden:
            return "only hidden nodes are called " + quoted(reference_of(why).name) +
                   ", and a reference by name does not find them";
        case Cause::Ambiguous: return ambiguous_detail(reference_of(why).name);
        case Cause::IndexOutOfRange: return index_detail(n, d, why);
        case Cause::Cycle: return "circular reference: " + cycle_text(cycles_[why.cycle]);
        case Cause::DivisionByZero: return division_detail(why);
        case Cause::InvalidArgument: return invalid_argument_detail(why);
        case Cause::SeveralValues: {
            const std::string what(why.site == Site::Children ? kChildrenKeyword : kRightKeyword);
            return what + " stands for several values where one is needed: aggregate them (sum(" + what +
                   ")) or pick one (" + what + "[1])";
        }
        case Cause::Propagated: return propagated_detail(why);
    }
    return {};
}

std::string Diagnosis::unknown_name_detail(std::string_view name) {
    const std::string_view near = names_.closest(name);
    std::string text = "no visible node is called " + quoted(name);
    if (!near.empty()) text += "; did you mean " + written(near) + "?";
    return text;
}

std::string Diagnosis::ambiguous_detail(std::string_view name) const {
    const std::string count = std::to_string(tree_.find(name).size());
    return count + " visible nodes are called " + quoted(name) + ": add [n] to pick one (" + written(name) +
           "[1] to " + written(name) + "[" + count + "]), or aggregate them: sum(" + written(name) + ")";
}

std::string Diagnosis::index_detail(NodePtr n, std::size_t d, const Why& why) const {
    if (why.single_formula) {
        return "right reads the later entries of a formula list, and this node has one formula for every dimension";
    }
    const std::string index = std::to_string(index_of(why).value_or(0));
    if (why.site == Site::Children) {
        return "index " + index + " of children: this node has " +
               counted(flat_.children(n), "child", "children") + " (indexes count from 1)";
    }
    if (why.site == Site::Right) {
        const std::size_t later = flat_.text_ids(n).size() - std::min(flat_.text_ids(n).size(), d + 1);
        return "index " + index + " of right: " + counted(later, "dimension follows", "dimensions follow") +
               " this one in its formula list (indexes count from 1)";
    }
    const std::string_view name = reference_of(why).name;
    return "index " + index + " of " + quoted(name) + ": " +
           counted(tree_.find(name).size(), "visible node is", "visible nodes are") +
           " called so (indexes count from 1)";
}

std::string Diagnosis::propagated_detail(const Why& why) const {
    if (!why.has_source) return "an error read from another cell";
    return "reads " + quoted(flat_.name_text(why.source)) + ", which is " +
           values_.result_at(why.source, why.source_dimension).to_string() + " in dimension " +
           std::to_string(why.source_dimension);
}

std::vector<CellProblem> Diagnosis::problems() {
    std::vector<CellProblem> out;
    auto add = [&](NodePtr n, std::size_t d, EvalResult r) {
        if (!r.is_error()) return;
        CellProblem p;
        p.node = n;
        p.dimension = d;
        p.value = r.error_kind();
        const auto it = causes_.find(key(n, d));
        const Why why = it != causes_.end() ? it->second : Why{};
        p.cause = why.cause;
        p.has_source = why.has_source;
        p.source_node = why.source;
        p.source_dimension = why.source_dimension;
        const std::string_view formula = text_of(n, d);
        ByteSpan span;
        if (why.cause == Cause::Syntax) {
            if (const std::optional<FormulaProblem> syntax = diagnose_formula(formula)) {
                p.start = syntax->start;
                p.end = syntax->end;
                p.detail = syntax->message + (syntax->hint.empty() ? "" : "; " + syntax->hint);
            }
        } else {
            // A cell with an error has a text: one without computes nothing.
            const std::uint32_t id = text_id_of(n, d);
            const Value* value = id != kNone ? parsed(id).value : nullptr;
            if (value != nullptr && why.at != nullptr) {
                // Equal texts share one syntax tree, and often their problems.
                auto [located, added] = spans_.try_emplace(value);
                if (added) located->second = locate_parts(formula, *value);
                if (const auto found = located->second.find(why.at); found != located->second.end()) span = found->second;
            }
            p.start = unicode::count_chars(formula.substr(0, span.start));
            p.end = p.start + unicode::count_chars(formula.substr(span.start, span.end - span.start));
            p.detail = detail(n, d, why);
        }
        out.push_back(std::move(p));
    };
    for (NodePtr n = 0; n < tree_.size(); ++n) {
        switch (values_.shape(n)) {
            case MemoTable::Shape::Unset: break;
            case MemoTable::Shape::Single: add(n, 0, values_.result_at(n, 0)); break;
            case MemoTable::Shape::List:
                for (std::size_t k = 0; k < dims_; ++k) add(n, k, values_.result_at(n, k));
                break;
        }
    }
    return out;
}

}  // namespace

std::string_view cause_text(Cause cause) {
    switch (cause) {
        case Cause::Syntax: return "syntax";
        case Cause::UnknownName: return "unknown name";
        case Cause::Hidden: return "hidden";
        case Cause::Ambiguous: return "ambiguous";
        case Cause::IndexOutOfRange: return "index out of range";
        case Cause::Cycle: return "cycle";
        case Cause::DivisionByZero: return "division by zero";
        case Cause::InvalidArgument: return "invalid argument";
        case Cause::SeveralValues: return "several values";
        case Cause::Propagated: return "propagated";
    }
    return "propagated";
}

std::vector<CellProblem> diagnose_tree(Node& root, bool save_values, Interrupt* interrupt) {
    Diagnosis diagnosis(root, interrupt);
    diagnosis.evaluate_all();
    if (save_values) diagnosis.save_values(root);
    return diagnosis.problems();
}

}  // namespace morvax
