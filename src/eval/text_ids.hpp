// Numbers for texts: each distinct text gets the next id, 0, 1, 2, ... An
// open-addressing table of ids with the texts' hashes beside them, so a probe
// touches one small array and compares texts only when the hashes agree.
// The table keeps its own copy of each distinct text, packed together, so
// that comparing a probe with a key reads memory the table owns rather than
// wherever the texts first lived.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace morvax {

// A fast non-cryptographic hash of bytes: eight at a time, each word mixed in
// by a multiply and shift. The length is mixed in first, so texts that differ
// only by trailing zero bytes still differ.
inline std::uint64_t hash_text(std::string_view text) {
    const char* p = text.data();
    std::size_t n = text.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        // The last one to seven bytes without reading past them: two
        // overlapping four-byte loads, or the first, middle and last byte.
        std::uint64_t w;
        if (n >= 4) {
            std::uint32_t lo, hi;
            std::memcpy(&lo, p, 4);
            std::memcpy(&hi, p + n - 4, 4);
            w = (std::uint64_t{hi} << 32) | lo;
        } else {
            w = std::uint64_t{static_cast<unsigned char>(p[0])} << 16 |
                std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 | static_cast<unsigned char>(p[n - 1]);
        }
        h = (h ^ w) * 0x94D049BB133111EBull;
        h ^= h >> 29;
    }
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

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

    // The id of `text`, or kNone.
    std::uint32_t find(std::string_view text) const { return find(text, hash_text(text)); }
    std::uint64_t hash(std::uint32_t id) const { return hashes_[id]; }

    std::uint32_t find(std::string_view text, std::uint64_t hash) const {
        const std::size_t mask = slots_.size() - 1;
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.id == kNone) return kNone;
            if (s.tag == tag && keys_[s.id] == text) return s.id;
        }
    }

    // The id of `text`, a new one when it was not there yet (`added` tells).
    std::uint32_t intern(std::string_view text, bool& added) { return intern(text, hash_text(text), added); }
    std::uint32_t intern(std::string_view text) {
        bool added = false;
        return intern(text, added);
    }
    std::uint32_t intern(std::string_view text, std::uint64_t hash) {
        bool added = false;
        return intern(text, hash, added);
    }

    // The same, `hash` being the table's hash of the text: hash_text(text),
    // or another one that all texts of the table share.
    std::uint32_t intern(std::string_view text, std::uint64_t hash, bool& added) {
        const std::size_t mask = slots_.size() - 1;
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        std::size_t i = hash & mask;
        for (;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.id == kNone) break;
            if (s.tag == tag && keys_[s.id] == text) {
                added = false;
                return s.id;
            }
        }
        added = true;
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
    // whose hashes are known a few texts ahead.
    void prefetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

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

    std::string_view keep(std::string_view text) { return chunks_.keep(text); }

    std::vector<Slot> slots_;  // a power of two, at most three quarters full
    TextChunks chunks_{std::size_t{64} << 10};
    std::vector<std::string_view> keys_;  // views into the chunks
    std::vector<std::uint64_t> hashes_;
};

}  // namespace morvax
