#include "eval/formula_table.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>

#include "eval/formula_shapes.hpp"
#include "eval/formula_stack.hpp"
#include "parser/grammar.hpp"
#include "parser/parse.hpp"

namespace morvax {

FormulaTable::FormulaTable(FlatTree&& flat, const TreeIndex& tree, Interrupt& interrupt) {
    flat.finish_texts();
    const TextIds& texts = flat.texts();
    nodes_ = tree.size();
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
    }
    first_slot_.push_back(static_cast<std::uint32_t>(flat.text_count()));

    by_id_.assign(texts.size(), FormulaSlot());
    prepare(texts, tree, interrupt);
    slot_ids_ = flat.take_text_ids();
    flat = FlatTree();
}

// What preparing the formulas keeps from text to text.
struct FormulaTable::Preparing {
    explicit Preparing(const TreeIndex& tree) : names(tree) {}

    // A tree of few formulas repeats few shapes: they are all parsed, and
    // shapes are looked for from the formula after this many on.
    static constexpr std::size_t kShapesFrom = 32;

    RecentNames names;
    std::size_t formulas = 0;  // texts given to compile()
    std::vector<Step> steps;  // the last compile's
    StackSegments segments;   // for the few texts nested too deeply for this thread's stack
    FormulaShapes shapes;
    std::vector<direct::Literal> literals;  // the last parse's
    std::vector<LiteralStep> noted;         // the last compile's
};

// Every distinct text made what the evaluation runs: plain numbers converted,
// the rest parsed and compiled. Ids follow the texts' first places in
// pre-order, and so does the code: the sweep goes node by node, every
// dimension of one before the next, and the code it runs lies in that order.
void FormulaTable::prepare(const TextIds& texts, const TreeIndex& tree, Interrupt& interrupt) {
    Preparing preparing(tree);
    // The texts lie wherever their owner put them and are read here for the
    // first time: the next ones are fetched while this one is parsed.
    constexpr std::uint32_t kAhead = 2;
    for (std::uint32_t id = 0; id < texts.size(); ++id) {
        if (id + kAhead < texts.size()) {
            const std::string_view next = texts.text(id + kAhead);
            __builtin_prefetch(next.data());
            __builtin_prefetch(next.data() + next.size());
        }
        const std::string_view text = texts.text(id);
        double number = 0;
        if (convert_plain_number(text, number)) {
            by_id_[id] = FormulaSlot::number(numbers_.size());
            numbers_.push_back(number);
        } else if (std::all_of(text.begin(), text.end(), is_grammar_space)) {
            by_id_[id] = FormulaSlot::empty();
        } else {
            if (interrupt.tick()) break;
            by_id_[id] = compile(text, preparing);
            ++distinct_;
        }
    }
}

// The steps of the text, null when it does not parse; its syntax tree when
// it is left to the evaluator.
FormulaSlot FormulaTable::compile(std::string_view text, Preparing& p) {
    const bool shaping = ++p.formulas > Preparing::kShapesFrom;
    if (FormulaShapes::Shared shared; shaping && p.shapes.reuse(text, shared)) {
        // The kept tree holds this text's literals now: the steps they make
        // are made anew in a copy of the shape's steps.
        Step* placed = place(shared.steps);
        set_literal_steps(placed, shared.literals, p.names);
        return FormulaSlot::steps(placed, shared.deep);
    }
    // The syntax tree's names view its text: a copy of it goes just before it.
    const Arena::Mark before = arena_.mark();
    char* copy = arena_.allocate<char>(text.size());
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    StackRoom room;
    const ParseResult<Value> parsed =
        parse_formula_where_it_fits(p.segments, std::string_view(copy, text.size()), arena_, room,
                                    shaping ? &p.literals : nullptr);
    if (!parsed.ok()) {
        arena_.rewind(before);
        return FormulaSlot::steps(nullptr);
    }
    const Value* value = arena_.make<Value>(parsed.value);
    const bool deep = room == StackRoom::Deep;
    p.steps.clear();
    p.noted.clear();
    bool compiled = false;
    use_tree(p.segments, room,
             [&] { compiled = compile_formula(*value, p.names, p.steps, shaping ? &p.noted : nullptr); });
    if (!compiled) {
        p.shapes.reject();
        return FormulaSlot::syntax(value, deep);
    }
    Step* placed = place(p.steps);
    // Steps that never hand the syntax tree to the evaluator leave it (and
    // the text its names view) unused: unless kept for the texts of its
    // shape, its room serves the next formula, so the trees kept stay few
    // and the parser writes to memory already in the cache.
    if (hands_over_syntax(p.steps)) {
        placed[0].flags |= Step::kEvaluates;
        p.shapes.reject();
    } else if (!parsed.direct || !p.shapes.keep(std::string_view(copy, text.size()), p.literals,
                                                 std::span<const Step>(placed, p.steps.size()), p.noted, deep)) {
        arena_.rewind(before);
    }
    return FormulaSlot::steps(placed, deep);
}

Step* FormulaTable::place(std::span<const Step> steps) {
    Step* placed = code_.allocate<Step>(steps.size());
    std::copy(steps.begin(), steps.end(), placed);
    return placed;
}

void FormulaTable::release_code() {
    code_.release();
    arena_.release();
}

}  // namespace morvax
