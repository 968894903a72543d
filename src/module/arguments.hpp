// Argument taking shared by every module function: one parameter table per
// function, every parameter by position or keyword, all arguments checked in
// parameter order before the function's body runs.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace morvax::module {

enum class ParamKind : unsigned char {
    text,    // a str (subclasses too), taken as UTF-8
    object,  // any object, passed on untouched
    flag,    // bool or NumPy boolean scalar; optional, default False
};

struct Param {
    const char* name;
    ParamKind kind;
};

inline constexpr std::size_t max_params = 3;

struct Signature {
    const char* function;
    std::span<const Param> params;
    // The stored docstring: the text signature, "\n--\n\n", then the
    // documentation.
    const char* doc;
};

// One taken argument. `object` is borrowed from the call's argument vector and
// lives for the call; `text` points into that str's UTF-8 buffer, which lives
// as long as the str.
struct Argument {
    PyObject* object = nullptr;
    std::string_view text;
    bool flag = false;
};

using Arguments = std::array<Argument, max_params>;

// Fills `out` from a METH_FASTCALL|METH_KEYWORDS call. Returns false with a
// Python error set (TypeError, or UnicodeEncodeError for a str that has no
// UTF-8 form).
bool take_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Arguments& out) noexcept;

// A flag's truth value: a bool, or a NumPy boolean scalar read through its
// type's truth-value slot.
enum class FlagTruth : unsigned char {
    false_value,
    true_value,
    not_a_flag,  // neither a bool nor a NumPy boolean; no error set
    failed,      // a NumPy boolean without the slot, or whose slot raised; error set
};
FlagTruth read_flag(PyObject* object) noexcept;

// Required parameters come first; only flags are optional.
constexpr std::size_t required_count(const Signature& signature) {
    std::size_t count = 0;
    while (count < signature.params.size() && signature.params[count].kind != ParamKind::flag) {
        ++count;
    }
    return count;
}

// True when `doc` starts with "name(p1, p2=False)\n--\n\n" for the table
// and documents something after it: introspection reads the parameters from
// there, so they must not drift.
constexpr bool doc_matches(const Signature& signature) {
    std::string_view rest(signature.doc);
    auto eat = [&rest](std::string_view piece) {
        if (!rest.starts_with(piece)) return false;
        rest.remove_prefix(piece.size());
        return true;
    };
    if (signature.params.size() > max_params || !eat(signature.function) || !eat("(")) {
        return false;
    }
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        const Param& param = signature.params[i];
        if ((i > 0 && !eat(", ")) || !eat(param.name)) return false;
        if (param.kind == ParamKind::flag && !eat("=False")) return false;
        if (param.kind != ParamKind::flag && i >= required_count(signature)) return false;
    }
    return eat(")\n--\n\n") && !rest.empty();
}

}  // namespace morvax::module
