// The keyed text hash and the table of text ids built on it.
#include <string>
#include <string_view>

#include "check.hpp"
#include "eval/text_ids.hpp"

namespace {

using namespace morvax;

// SipHash-1-3 under the all-zero key is what CPython hashes bytes with when
// PYTHONHASHSEED=0 (an independent implementation).
TEST(siphash13_matches_reference_values) {
    struct Row {
        std::string_view text;
        std::uint64_t hash;
    };
    const Row rows[] = {
        {"a", 4644417185603328019ull},
        {"abcdefg", 7904145750247929094ull},
        {"abcdefgh", 4574395652268504554ull},
        {"Net income (2024)", 782172288997636226ull},
        {"=sum(children) * 1,05", 16755514575744012257ull},
    };
    for (const Row& row : rows) CHECK_EQ(siphash13({0, 0}, row.text), row.hash) << row.text;
    // Another key, another hash; the process's key is one key throughout.
    CHECK(siphash13({1, 0}, "a") != siphash13({0, 0}, "a"));
    CHECK_EQ(hash_text("abc"), hash_text(std::string("abc")));
}

// Texts that differ only in length, bytes of zero or one bit still get their
// own ids, and find them again.
TEST(text_ids_tell_texts_apart) {
    TextIds ids;
    std::vector<std::string> texts;
    for (int i = 0; i < 3000; ++i) {
        texts.push_back(std::string(static_cast<std::size_t>(i % 17), '\0') + std::to_string(i));
        texts.push_back(std::string(1, static_cast<char>(i % 256)) + "x");
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        bool added = false;
        const std::uint32_t id = ids.intern(texts[i], &added);
        CHECK_EQ(ids.find(texts[i]), id);
        CHECK_EQ(ids.text(id), texts[i]);
    }
    CHECK_EQ(ids.find("absent"), TextIds::kNone);
}

}  // namespace
