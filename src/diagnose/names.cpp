#include "diagnose/names.hpp"

#include "parser/language.hpp"
#include "parser/unicode.hpp"

namespace morvax {
namespace {

// Names longer than this get no typo index: each would add as many variants
// as it has characters, each as long as itself.
constexpr std::size_t kTypoLength = 64;

// Calls `take(variant)` for `name` with each of its characters left out.
template <class Take>
void each_deletion(std::string_view name, Take&& take) {
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t next = unicode::next_boundary(name, at);
        std::string variant(name.substr(0, at));
        variant.append(name.substr(next));
        if (take(variant)) return;
        at = next;
    }
}

}  // namespace

NameHints::NameHints(const FlatTree& tree) : tree_(tree) {
    std::unordered_set<std::string_view> hidden;
    for (std::size_t n = 0; n < tree.size(); ++n) {
        (tree.hidden(n) ? hidden : visible_).insert(tree.name_text(n));
    }
    for (std::string_view name : hidden) {
        if (!visible_.contains(name)) hidden_.insert(name);
    }
}

void NameHints::build() {
    built_ = true;
    for (std::size_t n = 0; n < tree_.size(); ++n) {
        if (tree_.hidden(n)) continue;
        const std::string_view name = tree_.name_text(n);
        folded_.try_emplace(ascii_lowered(name), name);
        if (name.size() <= kTypoLength) {
            each_deletion(name, [&](const std::string& variant) {
                deleted_.try_emplace(variant, name);
                return false;
            });
        }
    }
}

std::string_view NameHints::closest(std::string_view name) {
    if (!built_) build();
    if (const auto it = folded_.find(ascii_lowered(name)); it != folded_.end()) return it->second;
    if (name.size() > kTypoLength) return {};
    // One character missing from `name`.
    if (const auto it = deleted_.find(std::string(name)); it != deleted_.end()) return it->second;
    std::string_view found;
    each_deletion(name, [&](const std::string& variant) {
        if (const auto it = visible_.find(variant); it != visible_.end()) {
            found = *it;  // one character too many
        } else if (const auto same = deleted_.find(variant); same != deleted_.end()) {
            found = same->second;  // one character changed, or two swapped
        }
        return !found.empty();
    });
    return found;
}

}  // namespace morvax
