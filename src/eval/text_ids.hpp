// Numbers for texts: each distinct text gets the next id, 0, 1, 2, ... An
// open-addressing table of ids with the texts' hashes beside them, so a probe
// touches one small array and compares texts only when the hashes agree.
// The table keeps its own copy of each distinct text, packed together, so
// that comparing a probe with a key reads memory the table owns rather than
// wherever the texts first lived.
#pragma once

#include <sys/random.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace morvax {

// The key of the text hash: 128 random bits drawn once per process, when a
// text is first hashed, and never changed after (a constant of the process,
// not state that calls share). Names and formulas come from users: with a
// key they cannot know, no set of texts makes the tables below collide.
struct TextHashKey {
    std::uint64_t k0;
    std::uint64_t k1;
};

inline TextHashKey draw_text_hash_key() {
    TextHashKey key{};
    if (getrandom(&key, sizeof(key), 0) == static_cast<ssize_t>(sizeof(key))) return key;
    // No system random source: the clock and where the stack and the code
    // were placed still differ from one process to the next.
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    key.k0 = now ^ reinterpret_cast<std::uintptr_t>(&key);
    key.k1 = (now * 0x9E3779B97F4A7C15ull) ^ reinterpret_cast<std::uintptr_t>(&draw_text_hash_key);
    return key;
}

inline const TextHashKey& text_hash_key() {
    static const TextHashKey key = draw_text_hash_key();
    return key;
}

// SipHash-1-3 of the text under `key`: a keyed hash, so that colliding texts
// cannot be found without the key, at a cost close to an unkeyed hash for
// short texts.
inline std::uint64_t siphash13(const TextHashKey& key, std::string_view text) {
    std::uint64_t v0 = key.k0 ^ 0x736f6d6570736575ull;
    std::uint64_t v1 = key.k1 ^ 0x646f72616e646f6dull;
    std::uint64_t v2 = key.k0 ^ 0x6c7967656e657261ull;
    std::uint64_t v3 = key.k1 ^ 0x7465646279746573ull;
    auto round = [&] {
        v0 += v1, v1 = std::rotl(v1, 13), v1 ^= v0, v0 = std::rotl(v0, 32);
        v2 += v3, v3 = std::rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = std::rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = std::rotl(v1, 17), v1 ^= v2, v2 = std::rotl(v2, 32);
    };
    const char* p = text.data();
    std::size_t n = text.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t m;
        std::memcpy(&m, p, 8);
        v3 ^= m;
        round();
        v0 ^= m;
    }
    std::uint64_t last = std::uint64_t{text.size() & 0xFF} << 56;
    for (std::size_t i = 0; i < n; ++i) last |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    v3 ^= last;
    round();
    v0 ^= last;
    v2 ^= 0xFF;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// The hash of every text table: SipHash-1-3 under the process's key.
inline std::uint64_t hash_text(std::string_view text) { return siphash13(text_hash_key(), text); }

// The text hash for standard hash maps keyed by texts; transparent, so that
// maps keyed by std::string can be searched with a string_view.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return hash_text(text); }
};

// Copies of texts packed into chunks that never move: one allocation per
// chunk (at least `chunk_size` bytes) rather than one per text.
class TextChunks {
public:
    explicit TextChunks(std::size_t chunk_size) : chunk_size_(chunk_size) {}

    std::string_view keep(std::string_view text) {
        if (text.empty()) return {};
        if (static_cast<std::size_t>(end_ - cur_) < text.size()) {
            const std::size_t size = std::max(text.size(), chunk_size_);
            chunks_.push_back(std::make_unique_for_overwrite<char[]>(size));
            cur_ = chunks_.back().get();
            end_ = cur_ + size;
        }
        std::memcpy(cur_, text.data(), text.size());
        const std::string_view kept(cur_, text.size());
        cur_ += text.size();
        return kept;
    }

private:
    std::size_t chunk_size_;
    std::vector<std::unique_ptr<char[]>> chunks_;
    char* cur_ = nullptr;
    char* end_ = nullptr;
};

class TextIds {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    explicit TextIds(std::size_t expected = 0) {
        std::size_t capacity = 16;
        while (capacity * 3 < expected * 4) capacity *= 2;
        slots_.assign(capacity, Slot{});
        keys_.reserve(expected);
    }

    std::size_t size() const { return keys_.size(); }
    std::string_view text(std::uint32_t id) const { return keys_[id]; }
    // From now on the texts interned are kept as given, not copied: their
    // owner keeps each one that comes back `added` for as long as the table.
    void borrow_texts() { borrowed_ = true; }

    // The id of `text`, or kNone.
    std::uint32_t find(std::string_view text) const { return find(text, hash_text(text)); }

    std::uint32_t find(std::string_view text, std::uint64_t hash) const {
        const std::size_t mask = slots_.size() - 1;
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.id == kNone) return kNone;
            if (s.tag == tag && keys_[s.id] == text) return s.id;
        }
    }

    // The id of `text`, a new one when it was not there yet (`added`, when
    // given, tells).
    std::uint32_t intern(std::string_view text, bool* added = nullptr) { return intern(text, hash_text(text), added); }

    // The same, `hash` being the table's hash of the text: hash_text(text),
    // or another one that all texts of the table share.
    std::uint32_t intern(std::string_view text, std::uint64_t hash, bool* added = nullptr) {
        const std::size_t mask = slots_.size() - 1;
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        std::size_t i = hash & mask;
        for (;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.id == kNone) break;
            if (s.tag == tag && keys_[s.id] == text) {
                if (added != nullptr) *added = false;
                return s.id;
            }
        }
        if (added != nullptr) *added = true;
        const auto id = static_cast<std::uint32_t>(keys_.size());
        keys_.push_back(keep(text));
        hashes_.push_back(hash);
        slots_[i] = {tag, id};
        if (keys_.size() * 4 > slots_.size() * 3) grow();
        return id;
    }

    // Gives up looking texts up: only text(id) and size() serve from then on,
    // and the table's room goes.
    void forget_lookup() {
        slots_ = std::vector<Slot>();
        hashes_ = std::vector<std::uint64_t>();
    }

    // Asks the processor to start loading where a text of this hash is
    // probed first: a large table is interned into in a stream of texts
    // whose hashes are known a few texts ahead. Always inlined: GCC drops the
    // calls of a function whose only effect is a prefetch.
    [[gnu::always_inline]] void prefetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

private:
    struct Slot {
        std::uint32_t tag = 0;  // the hash's high half
        std::uint32_t id = kNone;
    };

    void grow() {
        std::vector<Slot> bigger(slots_.size() * 2);
        const std::size_t mask = bigger.size() - 1;
        for (std::uint32_t id = 0; id < keys_.size(); ++id) {
            std::size_t i = hashes_[id] & mask;
            while (bigger[i].id != kNone) i = (i + 1) & mask;
            bigger[i] = {static_cast<std::uint32_t>(hashes_[id] >> 32), id};
        }
        slots_ = std::move(bigger);
    }

    std::string_view keep(std::string_view text) { return borrowed_ ? text : chunks_.keep(text); }

    std::vector<Slot> slots_;  // a power of two, at most three quarters full
    TextChunks chunks_{std::size_t{64} << 10};
    bool borrowed_ = false;
    std::vector<std::string_view> keys_;  // views into the chunks, or the borrowed texts
    std::vector<std::uint64_t> hashes_;
};

// Values by text: each distinct text interned once, its value kept at the
// text's id. A deque, so that a value's address holds while others are added.
template <class Value>
class TextMap {
public:
    // See TextIds::borrow_texts.
    void borrow_texts() { ids_.borrow_texts(); }

    // The value of `text`, value-initialised when the text is new, and
    // whether it is.
    std::pair<Value*, bool> try_emplace(std::string_view text) {
        bool fresh = false;
        const std::uint32_t id = ids_.intern(text, &fresh);
        if (fresh) values_.emplace_back();
        return {&values_[id], fresh};
    }

    // The value of `text`, or null.
    const Value* find(std::string_view text) const {
        const std::uint32_t id = ids_.find(text);
        return id == TextIds::kNone ? nullptr : &values_[id];
    }

    bool empty() const { return values_.empty(); }

private:
    TextIds ids_;
    std::deque<Value> values_;
};

}  // namespace morvax
