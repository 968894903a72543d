// Node references as texts: validity, the preferred written form, the
// unambiguous form, and reading a reference back.
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "check.hpp"
#include "references/references.hpp"

namespace {

using morvax::build_unambiguous_name;
using morvax::get_preferred_reference_format;
using morvax::is_valid_node_reference;

TEST(valid_node_references) {
    const struct {
        std::string_view text;
        bool valid;
    } rows[] = {
        {"@Revenue", true},
        {"@{Gross margin}", true},
        {"@a[2]", true},
        {"@{a[1]}[2]", true},
        {"@{}", true},
        {"@\xd0\x92\xd1\x8b\xd1\x80\xd1\x83\xd1\x87\xd0\xba\xd0\xb0", true},
        {"children", true},  // the keyword references count too
        {"right[1]", true},
        {"", false},
        {"@Revenue ", false},
        {" @Revenue", false},
        {"@a+@b", false},
        {"@a @a", false},
        {"-@a", false},
        {"@a-", false},
        {"Revenue", false},
        {"@", false},
        {"@{a", false},
        {"@{a}}", false},
        {"@a.b", false},
        {"sum(@a)", false},
        {"1", false},
    };
    for (const auto& row : rows) CHECK_EQ(is_valid_node_reference(row.text), row.valid) << row.text;
}

TEST(preferred_reference_format) {
    const struct {
        std::string_view name;
        std::optional<std::string> written;
    } rows[] = {
        {"Revenue", "@Revenue"},
        {"_x9", "@_x9"},
        {"\xd0\x92\xd1\x8b\xd1\x80\xd1\x83\xd1\x87\xd0\xba\xd0\xb0",
         "@\xd0\x92\xd1\x8b\xd1\x80\xd1\x83\xd1\x87\xd0\xba\xd0\xb0"},
        {"Gross margin", "@{Gross margin}"},
        {"9lives", "@{9lives}"},
        {" a", "@{ a}"},
        {"a ", "@{a }"},
        {"a.b", "@{a.b}"},
        {"a{b}c", "@{a{b}c}"},
        {"{}", "@{{}}"},
        // "@x[1]" is valid but names the node x: the braces keep the whole name
        {"x[1]", "@{x[1]}"},
        {"x[99999999999999999999999]", "@{x[99999999999999999999999]}"},
        {"", std::nullopt},
        {"a}b", std::nullopt},
        {"a}", std::nullopt},
        {"{", std::nullopt},
    };
    for (const auto& row : rows) {
        CHECK_EQ(get_preferred_reference_format(row.name).value_or("<none>"),
                 row.written.value_or("<none>"))
            << row.name;
    }
}

// The forms that the scanner and the parser decide, which the quick
// answers for common names must agree with, byte for byte.
std::optional<std::string> scanned_form(std::string_view name) {
    for (std::string written : {"@" + std::string(name), "@{" + std::string(name) + "}"}) {
        const auto read = morvax::parse_node_reference_from_str(written);
        if (!name.empty() && is_valid_node_reference(written) && read.ok() && read.value.name == name &&
            !read.value.index) {
            return written;
        }
    }
    return std::nullopt;
}

TEST(preferred_form_of_generated_names_is_the_scanned_one) {
    // Pieces of names: identifier characters, the characters that end or
    // open a reference, operators, spaces, and non-ASCII letters, digits,
    // marks and spaces (Ä, 中, Arabic 3, a combining acute, a no-break space).
    const std::string_view pieces[] = {"a", "Z", "_", "0", "9", " ", ".", "[", "]", "{", "}", "@", "=",
                                       "+", "(", "\n", "\t", "\xc3\x84", "\xe4\xb8\xad", "\xd9\xa3",
                                       "\xcc\x81", "\xc2\xa0", "children", "1e5", "%"};
    std::mt19937 random(7);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    for (int round = 0; round < 20000; ++round) {
        std::string name;
        for (std::size_t k = 1 + pick(5); k > 0; --k) name += pieces[pick(std::size(pieces))];
        CHECK_EQ(get_preferred_reference_format(name).value_or("<none>"), scanned_form(name).value_or("<none>"))
            << name;
    }
}

TEST(unambiguous_names) {
    const struct {
        std::string_view name;
        std::size_t occurrence;
        std::size_t count;
        std::string_view written;
    } rows[] = {
        {"Revenue", 1, 1, "@Revenue"},
        {"Revenue", 1, 0, "@Revenue"},
        {"Revenue", 2, 3, "@Revenue[2]"},
        {"Gross margin", 3, 3, "@{Gross margin}[3]"},
        {"x[1]", 2, 2, "@{x[1]}[2]"},
        {"a}b", 1, 1, ""},
        {"a}b", 1, 2, ""},
        {"", 1, 2, ""},
    };
    for (const auto& row : rows) {
        CHECK_EQ(build_unambiguous_name(row.name, row.occurrence, row.count), row.written)
            << row.name << " " << row.occurrence << " of " << row.count;
    }
}

// "name|index" for a reference read back, "error at start-end: message" for a failure.
std::string read_back(std::string_view text) {
    const auto parsed = morvax::parse_node_reference_from_str(text);
    if (!parsed.ok()) {
        const auto& r = parsed.error.record();
        return "error at " + std::to_string(r.start) + "-" + std::to_string(r.end) + ": " +
               parsed.error.message();
    }
    const auto& index = parsed.value.index;
    return parsed.value.name + "|" + (index ? std::to_string(*index) : "-");
}

TEST(node_reference_read_from_text) {
    const struct {
        std::string_view text;
        std::string_view read;
    } rows[] = {
        {"@Revenue[2] + 1", "Revenue|2"},
        {"@Revenue", "Revenue|-"},
        {"@{ a }", " a |-"},
        {"@{a[1]}[2]", "a[1]|2"},
        {"@{a{b}c}x", "a{b}c|-"},
        {"@{}", "|-"},
        {"@a[1 2]", "a|-"},
        {"@a[99999999999999999999]", "error at 3-23: Invalid index"},
        {" @a", "error at 0-0: expected NODE_REFERENCE, AT, or LCURLYAT"},
        {"", "error at 0-0: expected NODE_REFERENCE, AT, or LCURLYAT"},
        {"@{a", "error at 3-3: expected RCURLY"},
        {"@1", "error at 1-1: expected IDENTIFIER"},
    };
    for (const auto& row : rows) CHECK_EQ(read_back(row.text), row.read) << row.text;
}

}  // namespace
