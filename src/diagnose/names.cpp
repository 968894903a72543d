#include "diagnose/names.hpp"

#include <algorithm>

#include "parser/language.hpp"
#include "parser/unicode.hpp"

namespace morvax {
namespace {

// Names longer than this get no typo index: each would add as many variants
// as it has characters, each as long as itself.
constexpr std::size_t kTypoLength = 64;
// The most bytes one character takes.
constexpr std::size_t kLongestCharacter = 4;

// Calls `take(variant, at)` for `name` with each of its characters left out,
// `at` being where that character starts, until `take` says done. `variant`
// is reused from call to call.
template <class Take>
void each_deletion(std::string_view name, std::string& variant, Take&& take) {
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t next = unicode::next_boundary(name, at);
        variant.assign(name.substr(0, at));
        variant.append(name.substr(next));
        if (take(std::string_view(variant), at)) return;
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

const std::vector<NameHints::Deletion>& NameHints::deletions_of_length(std::size_t length) {
    const auto [it, made] = deletions_.try_emplace(length);
    std::vector<Deletion>& deletions = it->second;
    if (!made) return deletions;
    const auto names = of_length_.find(length);
    if (names == of_length_.end()) return deletions;
    deletions.reserve(names->second.size() * length);
    for (const std::uint32_t name : names->second) {
        each_deletion(names_[name], variant_, [&](std::string_view variant, std::size_t at) {
            deletions.push_back({hash_text(variant), name, static_cast<std::uint32_t>(at)});
            return false;
        });
    }
    std::sort(deletions.begin(), deletions.end(), [](const Deletion& a, const Deletion& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.name < b.name;
    });
    return deletions;
}

std::string_view NameHints::deleted_from(std::string_view variant) {
    const std::uint64_t hash = hash_text(variant);
    std::uint32_t first = static_cast<std::uint32_t>(names_.size());  // none yet
    // The names one character longer than the variant, that character of any width.
    for (std::size_t width = 1; width <= kLongestCharacter; ++width) {
        const std::vector<Deletion>& deletions = deletions_of_length(variant.size() + width);
        auto at = std::lower_bound(deletions.begin(), deletions.end(), hash,
                                   [](const Deletion& d, std::uint64_t h) { return d.hash < h; });
        for (; at != deletions.end() && at->hash == hash && at->name < first; ++at) {
            const std::string_view name = names_[at->name];
            const std::size_t next = unicode::next_boundary(name, at->at);
            if (name.size() - (next - at->at) == variant.size() && name.substr(0, at->at) == variant.substr(0, at->at) &&
                name.substr(next) == variant.substr(at->at)) {
                first = at->name;  // later candidates of this length come later in pre-order
                break;
            }
        }
    }
    return first < names_.size() ? names_[first] : std::string_view();
}

std::string_view NameHints::closest(std::string_view name) {
    if (const auto it = answered_.find(name); it != answered_.end()) return it->second;
    const std::string_view found = find_closest(name);
    answered_.emplace(name, found);
    return found;
}

std::string_view NameHints::find_closest(std::string_view name) {
    if (!built_) {
        built_ = true;
        std::unordered_set<std::string_view> listed;
        for (std::size_t n = 0; n < tree_.size(); ++n) {
            if (tree_.hidden(n)) continue;
            const std::string_view visible = tree_.name_text(n);
            folded_.try_emplace(ascii_lowered(visible), visible);
            if (visible.size() > kTypoLength || !listed.insert(visible).second) continue;
            of_length_[visible.size()].push_back(static_cast<std::uint32_t>(names_.size()));
            names_.push_back(visible);
        }
    }
    if (const auto it = folded_.find(ascii_lowered(name)); it != folded_.end()) return it->second;
    if (name.size() > kTypoLength) return {};
    // One character missing from `name`.
    if (const std::string_view found = deleted_from(name); !found.empty()) return found;
    std::string_view found;
    std::string variant;
    each_deletion(name, variant, [&](std::string_view v, std::size_t) {
        if (const auto it = visible_.find(v); it != visible_.end()) {
            found = *it;  // one character too many
        } else {
            found = deleted_from(v);  // one character changed, or two swapped
        }
        return !found.empty();
    });
    return found;
}

}  // namespace morvax
