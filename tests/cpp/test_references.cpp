// Node references as texts: validity, the preferred written form, the
// unambiguous form, and reading a reference back.
#include <optional>
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
