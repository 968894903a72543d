// Built only to be run by the test suite, which expects exactly the failures
// below: this proves that failed checks are reported and fail the program.
#include "check.hpp"

#include <stdexcept>
#include <string>

namespace {

TEST(selftest_passes) {
    CHECK(1 + 1 == 2);
    CHECK_EQ(std::string("same"), "same");
}

TEST(selftest_fails_checks) {
    const int rows[] = {1, 2};
    for (int row : rows) {
        CHECK_EQ(row * 10, 10) << "row " << row;  // fails for row 2 only
    }
    CHECK(rows[0] > 1);
    CHECK_EQ(std::string("got"), "wanted");
}

TEST(selftest_throws) { throw std::runtime_error("thrown on purpose"); }

}  // namespace
