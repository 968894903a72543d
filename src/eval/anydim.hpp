// A value that is one element for every dimension (Single) or one element per
// dimension (Multi, element i for dimension i, counted from 0).
#pragma once

#include <cstddef>
#include <utility>
#include <variant>
#include <vector>

namespace morvax {

template <class T>
class AnyDim {
public:
    AnyDim() : v_(std::vector<T>{}) {}  // the empty list form
    // Copies build the held form in place. std::variant's own copy of a
    // string or a vector (g++ 12) destroys its half-made storage as if it
    // held a vector when the copy throws bad_alloc: a double free.
    AnyDim(const AnyDim& other) : v_(copy_of(other.v_)) {}
    AnyDim& operator=(const AnyDim& other) {
        if (this != &other) v_ = copy_of(other.v_);
        return *this;
    }
    AnyDim(AnyDim&&) noexcept = default;
    AnyDim& operator=(AnyDim&&) noexcept = default;
    ~AnyDim() = default;
    static AnyDim single(T value) { return AnyDim(std::in_place_index<0>, std::move(value)); }
    static AnyDim multi(std::vector<T> values) {
        return AnyDim(std::in_place_index<1>, std::move(values));
    }

    bool is_single() const { return v_.index() == 0; }
    bool is_multi() const { return v_.index() == 1; }
    const T& single_value() const { return std::get<0>(v_); }
    T& single_value() { return std::get<0>(v_); }
    const std::vector<T>& list() const { return std::get<1>(v_); }
    std::vector<T>& list() { return std::get<1>(v_); }

    // 1 for Single, the list length for Multi.
    std::size_t dimensions() const { return is_single() ? 1 : list().size(); }

    // The element that dimension d sees, or null past the end of a list.
    const T* at(std::size_t d) const {
        if (is_single()) return &single_value();
        return d < list().size() ? &list()[d] : nullptr;
    }

    // Iteration (AnyDimIter): the single element once, or each list element.
    const T* begin() const { return is_single() ? &single_value() : list().data(); }
    const T* end() const { return begin() + dimensions(); }

    // The same form with every element mapped.
    template <class F>
    auto map(F&& f) const -> AnyDim<decltype(f(std::declval<const T&>()))> {
        using U = decltype(f(std::declval<const T&>()));
        if (is_single()) return AnyDim<U>::single(f(single_value()));
        std::vector<U> out;
        out.reserve(list().size());
        for (const T& x : list()) out.push_back(f(x));
        return AnyDim<U>::multi(std::move(out));
    }

private:
    using Held = std::variant<T, std::vector<T>>;
    static Held copy_of(const Held& held) {
        if (held.index() == 0) return Held(std::in_place_index<0>, std::get<0>(held));
        return Held(std::in_place_index<1>, std::get<1>(held));
    }

    template <std::size_t I, class A>
    AnyDim(std::in_place_index_t<I> tag, A&& a) : v_(tag, std::forward<A>(a)) {}
    Held v_;
};

}  // namespace morvax
