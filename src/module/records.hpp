// Plain-data results for Python: dicts with fixed str keys, the keys made
// once per call rather than once per record.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "module/boundary.hpp"

namespace morvax::module {

template <std::size_t N>
class RecordKeys {
public:
    // False with an error set.
    bool make(const std::array<const char*, N>& names) noexcept {
        for (std::size_t i = 0; i < N; ++i) {
            keys_[i] = PyRef::steal(PyUnicode_InternFromString(names[i]));
            if (!keys_[i]) return false;
        }
        return true;
    }

    // New reference: a dict of the keys, in order, to `values` (new
    // references, stolen); empty with an error set when any is empty.
    PyRef record(std::array<PyRef, N> values) const noexcept {
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return {};
        for (std::size_t i = 0; i < N; ++i) {
            if (!values[i] || PyDict_SetItem(dict.get(), keys_[i].get(), values[i].get()) < 0) return {};
        }
        return dict;
    }

private:
    std::array<PyRef, N> keys_;
};

// New references for record values.
inline PyRef text_value(std::string_view text) noexcept { return PyRef::steal(new_text(text)); }
inline PyRef size_value(std::size_t n) noexcept { return PyRef::steal(PyLong_FromSize_t(n)); }

}  // namespace morvax::module
