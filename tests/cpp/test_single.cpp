#include "check.hpp"

#include "eval/single.hpp"

#include <string_view>

namespace {

struct Row {
    std::string_view text;
    std::string_view expected;
};

TEST(formula_results) {
    const Row rows[] = {
        {"=1+2*3", "7"},
        {"1+", "ERROR!"},
        {"1+2", "ERROR!"},  // an expression needs the leading "="
        {"=", "ERROR!"},
        {"5=", "ERROR!"},
        {"abc", "ERROR!"},
    };
    for (const Row& row : rows) {
        CHECK_EQ(morvax::evaluate_single_formula(row.text), row.expected) << row.text;
    }
}

TEST(condition_results) {
    const Row rows[] = {
        {"", "ERROR!"},  // a condition may not be empty
        {"1 <", "ERROR!"},
    };
    for (const Row& row : rows) {
        CHECK_EQ(morvax::evaluate_single_condition(row.text), row.expected) << row.text;
    }
}

}  // namespace
