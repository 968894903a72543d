#include "tree/expand.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "references/references.hpp"

namespace morvax {
namespace {

bool is_reference(const Token& token) { return token.kind == TokenKind::NodeReference; }


bool contains_ignoring_case(std::string_view text, std::string_view lower_word) {
    const auto same = [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; };
    return std::search(text.begin(), text.end(), lower_word.begin(), lower_word.end(), same) !=
           text.end();
}

// False only when no node-reference token can be in `text`: each begins with
// "@" or with the keyword children or right, in any letter case.  Most
// formulas of a model are plain numbers, and this spares their scan.
bool may_hold_references(std::string_view text) {
    return text.find('@') != std::string_view::npos || contains_ignoring_case(text, "children") ||
           contains_ignoring_case(text, "right");
}

// False only when expansion leaves `text` as it is: it rewrites only tokens
// that begin with "@" or exactly with "children".
bool may_expand(std::string_view text) {
    return text.find('@') != std::string_view::npos || text.find("children") != std::string_view::npos;
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



}  // namespace

Expander::Expander(const Node& root, TextBudget& budget)
    : names_(root), budget_(budget) {}

std::string Expander::expand_formula(const std::string& formula, std::size_t index,
                                     const Node& node) {
    index_ = index;
    if (!may_expand(formula)) {
        budget_.charge(formula.size());
        return formula;
    }
    Frame& top = push_frame(formula, node);
    // A formula already met through a reference was scanned then.
    if (const auto scanned = scanned_.find(&formula); scanned != scanned_.end()) {
        top.tokens = &scanned->second;
    } else {
        top.own_tokens = scan_tokens(formula);
        top.tokens = &top.own_tokens;
    }
    for (;;) {
        Frame& frame = frames_.back();
        if (advance(frame)) continue;
        std::string text = std::move(finish(frame));
        frames_.pop_back();
        if (frames_.empty()) return text;
        append(frames_.back().out, text);
    }
}

Expander::Frame& Expander::push_frame(std::string_view formula, const Node& node) {
    Frame& frame = frames_.emplace_back();
    frame.formula = formula;
    frame.node = &node;
    return frame;
}

// Handles tokens until the formula is done (false) or a frame was pushed (true).
bool Expander::advance(Frame& frame) {
    while (frame.token < frame.tokens->size()) {
        const Token& token = (*frame.tokens)[frame.token];
        copy_gap(frame, token);
        if (!is_reference(token)) {
            append(frame.out, token.text);
            ++frame.token;
            continue;
        }
        bool pushed = false;
        if (token.text.starts_with("children")) {
            pushed = expand_children_reference(frame);
        } else {
            ++frame.token;
            pushed = expand_node_reference(frame, token.text);
        }
        if (pushed) return true;
    }
    return false;
}

// The text between the previous token and this one, once per token even when
// the token is handled in several steps.
void Expander::copy_gap(Frame& frame, const Token& token) {
    if (frame.copied >= token.end) return;
    append(frame.out, frame.formula.substr(frame.copied, token.start - frame.copied));
    frame.copied = token.end;
}

// The formula's rest after its last token, then the frame's text as its
// reference's replacement: an expansion that starts with "=" loses it and is
// parenthesised, an empty one gives the reference back.
std::string& Expander::finish(Frame& frame) {
    append(frame.out, frame.formula.substr(std::min(frame.copied, frame.formula.size())));
    if (frame.key.empty()) return frame.out;
    std::string& text = frame.out;
    if (text.starts_with('=')) {
        text[0] = '(';
        append(text, ")");
    } else if (text.empty()) {
        append(text, frame.reference);
    }
    budget_.charge(text.size());  // the cached copy
    cache_[frame.key] = CacheEntry{text, false};
    return text;
}

// "children[N]" expands as a reference to the N-th child; bare "children" as
// the references to all children that have a written form, joined by "; ".
bool Expander::expand_children_reference(Frame& frame) {
    const Token& token = (*frame.tokens)[frame.token];
    const std::vector<Node>& children = frame.node->children;
    if (token.text.find('[') != std::string::npos) {
        ++frame.token;
        const Node* child = indexed_child(*frame.node, token.text);
        const std::string* written = child ? &forms_.of(child->name) : nullptr;
        if (written == nullptr || written->empty()) {
            append(frame.out, token.text);
            return false;
        }
        return expand_node_reference(frame, *written);
    }
    if (children.empty()) {
        append(frame.out, token.text);
        ++frame.token;
        return false;
    }
    while (frame.child < children.size()) {
        const std::string& written = forms_.of(children[frame.child++].name);
        if (written.empty()) continue;
        if (frame.joined++ > 0) append(frame.out, "; ");
        if (expand_node_reference(frame, written)) return true;
    }
    frame.child = 0;
    frame.joined = 0;
    ++frame.token;
    return false;
}

// Appends the replacement of `reference` to `into`, or pushes the frame that
// will produce it (true).  Everything that cannot be expanded stays as written.
bool Expander::expand_node_reference(Frame& into, std::string_view reference) {
    const std::string* name = reference.starts_with("right") ? nullptr : name_read(reference);
    // Only what expandable() accepts is ever cached.
    const auto [node, formula] = name != nullptr ? expandable(*name) : Target{};
    if (formula == nullptr) {
        append(into.out, reference);
        return false;
    }
    key_.assign(*name).append(":").append(std::to_string(index_));
    if (const auto hit = cache_.find(key_); hit != cache_.end()) {
        met_cycle_ |= hit->second.in_progress;
        append(into.out, hit->second.text);
        return false;
    }
    budget_.charge(reference.size());
    cache_.emplace(key_, CacheEntry{std::string(reference), true});
    Frame& frame = push_frame(*formula, *node);
    frame.tokens = &tokens_of(*formula);
    frame.key = key_;
    frame.reference = reference;
    return true;
}

const std::string* Expander::name_read(std::string_view reference) {
    auto slot = read_.find(reference);
    if (slot == read_.end()) {
        ParseResult<OwnedNodeReference> parsed = parse_node_reference_from_str(reference);
        std::optional<std::string> name;
        if (parsed.ok()) name = std::move(parsed.value.name);
        slot = read_.emplace(reference, std::move(name)).first;
    }
    return slot->second ? &*slot->second : nullptr;
}

// The one visible node of that name and its formula for the current
// dimension, when that formula holds references; nulls otherwise.
std::pair<const Node*, const std::string*> Expander::expandable(const std::string& name) {
    const auto found = names_.find(name);
    if (found.size() != 1) return {};
    const std::string* formula = found.front()->formula.at(index_);
    if (formula == nullptr) return {};
    const std::vector<Token>& tokens = tokens_of(*formula);
    if (std::none_of(tokens.begin(), tokens.end(), is_reference)) return {};
    return {found.front(), formula};
}

const std::vector<Token>& Expander::tokens_of(const std::string& formula) {
    const auto [slot, fresh] = scanned_.try_emplace(&formula);
    if (fresh && may_hold_references(formula)) slot->second = scan_tokens(formula);
    return slot->second;
}

AnyDim<std::string> Expander::expand_node_formulas(const Node& node) {
    if (node.formula.is_single()) {
        return AnyDim<std::string>::single(expand_formula(node.formula.single_value(), 0, node));
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

std::unordered_set<std::string_view, TextHash> collect_non_reference_nodes(const Node& root) {
    std::unordered_set<std::string_view, TextHash> names;
    for_each_preorder(root, [&](const Node& node) {
        if (!node.is_hidden && std::none_of(node.formula.begin(), node.formula.end(),
                                            [](const std::string& f) { return contains_references(f); })) {
            names.insert(node.name);
        }
    });
    return names;
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
