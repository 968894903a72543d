#include "tree/expand.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "eval/formula_stack.hpp"
#include "eval/names.hpp"
#include "parser/language.hpp"
#include "parser/parse.hpp"
#include "parser/tokenize.hpp"

namespace morvax {
namespace {

bool is_reference(const Token& token) { return token.kind == TokenKind::NodeReference; }

// False only when no node-reference token can be in `text`: each begins with
// "@" or with the keyword children or right, in any letter case.  Most
// formulas of a model are plain numbers, and this spares their scan.
bool may_hold_references(std::string_view text) {
    return text.find('@') != std::string_view::npos || contains_ignoring_case(text, kChildrenKeyword) ||
           contains_ignoring_case(text, kRightKeyword);
}

// False only when expansion leaves `text` as it is: it rewrites only tokens
// that begin with "@" or exactly with "children".
bool may_expand(std::string_view text) {
    return text.find('@') != std::string_view::npos || text.find(kChildrenKeyword) != std::string_view::npos;
}

// N of "children[N]": decimal digits after at most one '+', nothing else, and
// no more than the largest 64-bit value; nothing when the text is not such.
std::optional<std::uint64_t> children_index(std::string_view token) {
    const std::size_t open = token.find('[');
    const std::size_t close = token.find(']');
    if (close == std::string_view::npos || close < open) return std::nullopt;
    std::string_view digits = token.substr(open + 1, close - open - 1);
    if (digits.starts_with('+')) digits.remove_prefix(1);
    std::uint64_t n = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, n);
    if (digits.empty() || error != std::errc() || stop != end) return std::nullopt;
    return n;
}

// The child that "children[N]" names, or null when N is unreadable or out of range.
const Node* indexed_child(const Node& node, std::string_view token) {
    const std::optional<std::uint64_t> n = children_index(token);
    if (!n || *n == 0 || *n > node.children.size()) return nullptr;
    return &node.children[*n - 1];
}

// A reference put at `at` would run on into what follows: a name character
// (or an index) directly after it.
bool runs_on(std::string_view formula, std::size_t at) {
    if (at >= formula.size()) return false;
    const auto c = static_cast<unsigned char>(formula[at]);
    return c >= 0x80 || c == '_' || c == '[' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

std::size_t saturating_add(std::size_t a, std::size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

}  // namespace

Expander::Expander(const Node& root, TextBudget& budget)
    : names_(root), dimensions_(get_max_dimensions(root)), budget_(budget) {}

std::string Expander::expand_formula(const std::string& formula, std::size_t dimension,
                                     const Node& node) {
    FormulaInfo* info = may_expand(formula) ? &info_of(formula) : nullptr;
    // A formula that does not parse is an error as written; rewritten, it might not be.
    if (info == nullptr || info->count == 0 || !parses(*info, formula)) {
        budget_.charge(formula.size());
        return formula;
    }
    push_frame(formula, node, *info, dimension);
    for (;;) {
        Frame& frame = frames_.back();
        if (advance(frame)) continue;
        append(frame, frame.formula.substr(std::min(frame.copied, frame.formula.size())));
        if (frames_.size() == 1) {
            std::string text = spell(scratch_.data() + frame.first_piece, scratch_.data() + scratch_.size(), frame.length);
            drop(frame);
            frames_.pop_back();
            return text;
        }
        settle(frame, frames_[frames_.size() - 2]);
        frames_.pop_back();
    }
}

Expander::Frame& Expander::push_frame(const std::string& formula, const Node& node,
                                      FormulaInfo& info, std::size_t dimension) {
    Frame& frame = frames_.emplace_back();
    frame.formula = formula;
    frame.node = &node;
    frame.info = &info;
    frame.dimension = dimension;
    frame.first_piece = scratch_.size();
    return frame;
}

// Handles reference tokens until the formula is done (false) or a frame was
// pushed (true).
bool Expander::advance(Frame& frame) {
    while (frame.token < frame.info->count) {
        const ReferenceToken token = references_[frame.info->first + frame.token];
        copy_up_to(frame, token);
        const std::string_view text = frame.formula.substr(token.start, token.end - token.start);
        bool pushed = false;
        if (text.starts_with('@')) {
            ++frame.token;
            pushed = expand_node_reference(frame, text, token.place == Place::ModifierArgument);
        } else if (text.starts_with(kChildrenKeyword)) {
            pushed = expand_children_reference(frame);
        } else {  // right, or a keyword in capitals
            ++frame.token;
            keep_context(frame, text);
        }
        if (pushed) return true;
    }
    return false;
}

// The text between the previous token and this one, once per token even when
// the token is handled in several steps.
void Expander::copy_up_to(Frame& frame, const ReferenceToken& token) {
    if (frame.copied >= token.end) return;
    append(frame, frame.formula.substr(frame.copied, token.start - frame.copied));
    frame.copied = token.end;
}

// A referenced formula is done: it goes into `into` in parentheses, or, when
// it keeps what would change meaning there, the reference stays as written.
void Expander::settle(Frame& done, Frame& into) {
    CacheEntry& entry = *cache_.find({done.target, done.dimension});  // made when `done` was pushed
    if (done.keeps_context || done.keeps_shared_name) {
        entry = {CacheEntry::State::Kept, 0, {}};
        drop(done);
        keep(into, done.reference);
        return;
    }
    append(done, ")");
    entry = {CacheEntry::State::Inserted, store(done), {}};
    drop(done);
    append_expansion(into, entry.expansion);
}

void Expander::keep_context(Frame& frame, std::string_view text) {
    frame.keeps_context = true;
    append(frame, text);
}

// "children[N]" expands as the reference that finds the N-th child; bare
// "children", as a whole aggregation argument, as those of all children
// joined by "; ".  Otherwise, or when a child has no such reference, it stays.
bool Expander::expand_children_reference(Frame& frame) {
    const ReferenceToken token = references_[frame.info->first + frame.token];
    const std::string_view text = frame.formula.substr(token.start, token.end - token.start);
    const std::vector<Node>& children = frame.node->children;
    if (text.find('[') != std::string_view::npos) {
        ++frame.token;
        const Node* child = indexed_child(*frame.node, text);
        const std::string* written = child ? written_reference(*child) : nullptr;
        if (written == nullptr || runs_on(frame.formula, token.end)) {
            keep_context(frame, text);
            return false;
        }
        return expand_node_reference(frame, *written, false);
    }
    if (frame.child == 0) {
        const bool replaceable = token.place == Place::AggregationArgument && !children.empty() &&
                                 std::all_of(children.begin(), children.end(), [&](const Node& c) {
                                     return written_reference(c) != nullptr;
                                 });
        if (!replaceable) {
            ++frame.token;
            keep_context(frame, text);
            return false;
        }
    }
    while (frame.child < children.size()) {
        const std::string& written = *written_reference(children[frame.child]);
        if (frame.child++ > 0) append(frame, "; ");
        if (expand_node_reference(frame, written, false)) return true;
    }
    frame.child = 0;
    ++frame.token;
    return false;
}

// Appends the replacement of `reference` to `into`, or pushes the frame that
// will produce it (true).  Everything that cannot be expanded stays as written.
bool Expander::expand_node_reference(Frame& into, std::string_view reference, bool modifier_argument) {
    const OwnedNodeReference* read = read_reference(reference);
    if (read == nullptr) {
        keep(into, reference);
        return false;
    }
    const auto found = names_.find(read->name);
    if (found.size() > 1 && !read->index) into.keeps_shared_name = true;
    const bool picks_one = found.size() == 1 && (!read->index || *read->index == 1);
    const std::string* formula = picks_one && !modifier_argument ? formula_for(*found.front(), into.dimension) : nullptr;
    FormulaInfo* info = formula != nullptr ? &info_of(*formula) : nullptr;
    if (info == nullptr || info->count == 0 || !parses(*info, *formula)) {
        keep(into, reference);
        return false;
    }
    const Node& target = *found.front();
    const auto [slot, fresh] = cache_.try_emplace(Key{&target, into.dimension});
    CacheEntry& entry = *slot;
    if (!fresh) {
        switch (entry.state) {
            case CacheEntry::State::Expanding:
                met_cycle_ = true;
                keep(into, entry.reference);
                break;
            case CacheEntry::State::Inserted: append_expansion(into, entry.expansion); break;
            case CacheEntry::State::Kept: keep(into, reference); break;
        }
        return false;
    }
    // Until the formula is done, a reference back to it stays as this one is written.
    entry = {CacheEntry::State::Expanding, 0, reference};
    Frame& frame = push_frame(*formula, target, *info, into.dimension);
    frame.target = &target;
    frame.reference = reference;
    // It parses and holds references: blanks, "=", then the expression. The
    // "=" and the blanks before it go; parentheses take their place.
    frame.copied = formula->find('=') + 1;
    append(frame, "(");
    return true;
}

const OwnedNodeReference* Expander::read_reference(std::string_view reference) {
    const auto [read, fresh] = read_.try_emplace(reference);
    if (fresh) {
        ParseResult<OwnedNodeReference> parsed = parse_node_reference_from_str(reference);
        if (parsed.ok()) *read = std::move(parsed.value);
    }
    return *read ? &**read : nullptr;
}

// The reference that finds exactly `child`: its preferred form when no other
// visible node has its name, else that form with its index among them; null
// for a hidden child or a name without a written form.
const std::string* Expander::written_reference(const Node& child) {
    if (child.is_hidden) return nullptr;
    auto known = [&]() -> const std::string* {
        const std::string* const* written = written_.find(&child);
        return written == nullptr || (*written)->empty() ? nullptr : *written;
    };
    if (written_.find(&child) != nullptr) return known();
    auto add = [&](const Node* node, std::string written) {
        const auto [slot, fresh] = written_.try_emplace(node);
        if (fresh) *slot = &written_texts_.emplace_back(std::move(written));
    };
    const std::string& preferred = forms_.of(child.name);
    const auto namesakes = names_.find(child.name);
    if (namesakes.size() == 1 || preferred.empty()) {
        add(&child, preferred);
    } else {
        // All of them at once: looking each one's index up alone would take
        // as long as the list, for every child.
        for (std::size_t i = 0; i < namesakes.size(); ++i) {
            add(namesakes[i], add_occurrence(preferred, i + 1, namesakes.size()));
        }
    }
    return known();
}

// The formula `target` computes in `dimension`, when one text serves it;
// for every dimension, a list serves only when its entries are one text.
const std::string* Expander::formula_for(const Node& target, std::size_t dimension) {
    if (dimension != kEveryDimension || target.formula.is_single()) return target.formula.at(dimension);
    const std::vector<std::string>& list = target.formula.list();
    if (list.size() != dimensions_) return nullptr;
    const auto [slot, fresh] = uniform_.try_emplace(&target);
    if (fresh) {
        *slot = std::all_of(list.begin(), list.end(), [&](const std::string& f) { return f == list.front(); });
    }
    return *slot ? &list.front() : nullptr;
}

// Reads the formula's reference tokens once, with what stands around each:
// right after a modifier's "(", or alone between an aggregation's "(" or ";"
// and its ";" or ")".
Expander::FormulaInfo& Expander::info_of(const std::string& formula) {
    const auto [found, fresh] = infos_.try_emplace(formula);
    FormulaInfo& info = *found;
    if (!fresh || !may_hold_references(formula)) return info;
    info.first = references_.size();
    const std::vector<Token> tokens = budget_.scan(formula);
    std::vector<bool> aggregation_opened;  // for each open parenthesis
    const auto is = [&](std::size_t i, std::string_view text) { return i < tokens.size() && tokens[i].text == text; };
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        if (token.kind == TokenKind::Parenthesis) {
            if (token.text == "(") {
                aggregation_opened.push_back(i > 0 && tokens[i - 1].kind == TokenKind::Aggregation);
            } else if (!aggregation_opened.empty()) {
                aggregation_opened.pop_back();
            }
            continue;
        }
        if (!is_reference(token)) continue;
        Place place = Place::Operand;
        const bool after_open = i > 0 && is(i - 1, "(");
        if (after_open && i > 1 && tokens[i - 2].kind == TokenKind::Modifier) {
            place = Place::ModifierArgument;
        } else if (i > 0 && (is(i - 1, ";") || after_open) && !aggregation_opened.empty() &&
                   aggregation_opened.back() && (is(i + 1, ";") || is(i + 1, ")"))) {
            place = Place::AggregationArgument;
        }
        references_.push_back({token.start, token.end, place});
    }
    info.count = references_.size() - info.first;
    budget_.charge(info.count * sizeof(ReferenceToken));
    return info;
}

bool Expander::parses(FormulaInfo& info, const std::string& formula) {
    if (info.parses < 0) {
        const Arena::Mark mark = parse_arena_.mark();
        StackRoom room;  // a deeply nested text is parsed on a segment: the thread's stack may be small
        info.parses = parse_formula_where_it_fits(segments_, formula, parse_arena_, room).ok() ? 1 : 0;
        parse_arena_.rewind(mark);
    }
    return info.parses == 1;
}

void Expander::append(Frame& frame, std::string_view text) {
    if (text.empty()) return;
    frame.length = saturating_add(frame.length, text.size());
    if (scratch_.size() > frame.first_piece) {
        Piece& last = scratch_.back();
        if (last.data != nullptr && last.data + last.size == text.data()) {
            last.size += text.size();
            return;
        }
    }
    scratch_.push_back({text.data(), text.size()});
}

void Expander::append_expansion(Frame& frame, std::size_t expansion) {
    frame.length = saturating_add(frame.length, expansions_[expansion].length);
    scratch_.push_back({nullptr, expansion});
}

// Keeps the frame's pieces as an expansion that others share; its number.
std::size_t Expander::store(const Frame& frame) {
    const std::size_t count = scratch_.size() - frame.first_piece;
    budget_.charge(count * sizeof(Piece) + sizeof(Expansion));
    expansions_.push_back({pieces_.size(), count, frame.length});
    pieces_.insert(pieces_.end(), scratch_.begin() + static_cast<std::ptrdiff_t>(frame.first_piece), scratch_.end());
    return expansions_.size() - 1;
}

// The text of `pieces`, expansions spelt out in place, walked with an
// explicit stack: expansions nest as deep as chains of references go.
std::string Expander::spell(const Piece* first, const Piece* end, std::size_t length) {
    budget_.charge(length);
    std::string text;
    text.reserve(length);
    std::vector<std::pair<const Piece*, const Piece*>> todo{{first, end}};
    while (!todo.empty()) {
        // A text of millions of references is spelt from as many pieces.
        budget_.step();
        auto& [next, end] = todo.back();
        if (next == end) {
            todo.pop_back();
            continue;
        }
        const Piece& piece = *next++;
        if (piece.data != nullptr) {
            text.append(piece.data, piece.size);
        } else {
            const Expansion& e = expansions_[piece.size];
            todo.emplace_back(pieces_.data() + e.first, pieces_.data() + e.first + e.count);
        }
    }
    return text;
}

AnyDim<std::string> Expander::expand_node_formulas(const Node& node) {
    if (node.formula.is_single()) {
        const std::size_t dimension = dimensions_ > 1 ? kEveryDimension : 0;
        return AnyDim<std::string>::single(expand_formula(node.formula.single_value(), dimension, node));
    }
    const std::vector<std::string>& formulas = node.formula.list();
    std::vector<std::string> expanded;
    expanded.reserve(formulas.size());
    for (std::size_t i = 0; i < formulas.size(); ++i) expanded.push_back(expand_formula(formulas[i], i, node));
    return AnyDim<std::string>::multi(std::move(expanded));
}

bool contains_references(std::string_view formula) {
    if (!may_hold_references(formula)) return false;
    const std::vector<Token> tokens = scan_tokens(formula);
    return std::any_of(tokens.begin(), tokens.end(), is_reference);
}

Node expand_tree_formulas(const Node& root, TextBudget& budget) {
    Expander expander(root, budget);
    Node expanded = root.clone();
    // Source and copy side by side, in pre-order: a node's formulas are
    // expanded before its children's, which fixes the order the cache fills in.
    std::vector<std::pair<const Node*, Node*>> todo{{&root, &expanded}};
    while (!todo.empty()) {
        const auto [from, to] = todo.back();
        todo.pop_back();
        to->formula = expander.expand_node_formulas(*from);
        for (std::size_t i = from->children.size(); i-- > 0;) {
            todo.emplace_back(&from->children[i], &to->children[i]);
        }
    }
    return expanded;
}

}  // namespace morvax
