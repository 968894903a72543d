// A small check framework for the C++ tests.
//
//   TEST(parses_numbers) {
//       struct Row { std::string_view text; std::string_view expected; };
//       for (const Row& row : {Row{"=1", "1"}, Row{"=2*3", "6"}}) {
//           CHECK_EQ(evaluate_single_formula(row.text), row.expected) << "formula " << row.text;
//       }
//   }
//
// CHECK(cond) and CHECK_EQ(actual, expected) report file:line, the expression
// and the values, then carry on; anything streamed after them names the row.
// Each TEST registers itself; main (main.cpp) runs them all, optionally only
// those whose name contains argv[1], and exits non-zero if any check failed.
//
// The registry and the failure count are process-wide statics: test programs
// are single-threaded and this header is never part of the module.
#pragma once

#include <concepts>
#include <cstdio>
#include <exception>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace morvax::check {

struct TestCase {
    const char* name;
    void (*run)();
};

inline std::vector<TestCase>& registry() {
    static std::vector<TestCase> tests;
    return tests;
}

inline int& failure_count() {
    static int failures = 0;
    return failures;
}

inline bool add_test(const char* name, void (*run)()) {
    registry().push_back({name, run});
    return true;
}

// One failed check: printed, with whatever was streamed into it, when it goes
// out of scope at the end of the CHECK statement.
class Failure {
public:
    Failure(const char* file, int line, std::string what) : file_(file), line_(line) {
        message_ << std::move(what);
    }
    Failure(const Failure&) = delete;
    Failure& operator=(const Failure&) = delete;
    ~Failure() {
        std::printf("%s:%d: FAILED %s\n", file_, line_, message_.str().c_str());
        ++failure_count();
    }

    template <typename T>
    Failure& operator<<(const T& value) {
        if (!context_started_) message_ << "\n    for: ";
        context_started_ = true;
        message_ << value;
        return *this;
    }

private:
    const char* file_;
    int line_;
    std::ostringstream message_;
    bool context_started_ = false;
};

// Prints a value for a failure report: texts quoted, other values as they stream.
template <typename T>
std::string describe(const T& value) {
    std::ostringstream out;
    if constexpr (std::convertible_to<const T&, std::string_view>) {
        out << '"' << std::string_view(value) << '"';
    } else if constexpr (requires(std::ostream& os) { os << value; }) {
        out << value;
    } else {
        out << "<value that cannot be printed>";
    }
    return out.str();
}

template <typename A, typename E>
std::optional<Failure> compare_equal(const A& actual, const E& expected, const char* actual_text,
                                     const char* expected_text, const char* file, int line) {
    if (actual == expected) return std::nullopt;
    return std::optional<Failure>(std::in_place, file, line,
                                  std::string("CHECK_EQ(") + actual_text + ", " + expected_text +
                                      ")\n    actual:   " + describe(actual) +
                                      "\n    expected: " + describe(expected));
}

inline std::optional<Failure> check_true(bool holds, const char* text, const char* file, int line) {
    if (holds) return std::nullopt;
    return std::optional<Failure>(std::in_place, file, line, std::string("CHECK(") + text + ")");
}

// Runs every registered test whose name contains `filter`; returns the exit code.
inline int run_all(std::string_view filter) {
    int passed = 0;
    int failed = 0;
    for (const TestCase& test : registry()) {
        if (std::string_view(test.name).find(filter) == std::string_view::npos) continue;
        const int before = failure_count();
        try {
            test.run();
        } catch (const std::exception& error) {
            std::printf("%s: FAILED with exception: %s\n", test.name, error.what());
            ++failure_count();
        } catch (...) {
            std::printf("%s: FAILED with an unknown exception\n", test.name);
            ++failure_count();
        }
        const bool ok = failure_count() == before;
        std::printf("[%s] %s\n", ok ? " ok " : "FAIL", test.name);
        (ok ? passed : failed) += 1;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace morvax::check

// `switch` keeps a user's `if (...) CHECK(...); else ...` from binding to our else.
#define MORVAX_CHECK_STATEMENT(failure_expr)                   \
    switch (0)                                                 \
    case 0:                                                    \
    default:                                                   \
        if (auto morvax_check_failure = (failure_expr); !morvax_check_failure) { \
        } else                                                 \
            *morvax_check_failure

#define CHECK(condition) \
    MORVAX_CHECK_STATEMENT(::morvax::check::check_true(static_cast<bool>(condition), #condition, __FILE__, __LINE__))

#define CHECK_EQ(actual, expected)                                                    \
    MORVAX_CHECK_STATEMENT(::morvax::check::compare_equal((actual), (expected), #actual, \
                                                          #expected, __FILE__, __LINE__))

#define TEST(name)                                                                   \
    static void name();                                                              \
    [[maybe_unused]] static const bool name##_registered = ::morvax::check::add_test(#name, name); \
    static void name()
