// The results a context hands back for one reference.  Nearly every reference
// designates one node, so a few results live inline and only longer lists
// (children, later dimensions, names shared by many nodes) touch the heap.
// Few: on-demand chains nest one list per link, a million links deep.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <new>
#include <span>
#include <vector>

#include "eval/types.hpp"

namespace morvax {

class ResultList {
public:
    ResultList() {}  // NOLINT: leaves the inline room unwritten
    ResultList(std::initializer_list<EvalResult> items) {
        for (const EvalResult& r : items) push_back(r);
    }
    ResultList(std::vector<EvalResult> items) {  // NOLINT: a list is a list
        if (items.size() > kInline) {
            size_ = items.size();
            heap_ = std::move(items);
        } else {
            for (const EvalResult& r : items) push_back(r);
        }
    }

    void push_back(EvalResult r) {
        if (!heap_.empty() || size_ == kInline) {
            if (heap_.empty()) heap_.assign(begin(), begin() + size_);
            heap_.push_back(r);
        } else {
            ::new (static_cast<void*>(inline_ + size_)) EvalResult(r);
        }
        ++size_;
    }

    void reserve(std::size_t n) {
        if (n > kInline && heap_.empty()) {
            heap_.reserve(n);
            heap_.assign(begin(), begin() + size_);
        }
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const EvalResult* begin() const { return heap_.empty() ? inline_ : heap_.data(); }
    const EvalResult* end() const { return begin() + size_; }
    const EvalResult& operator[](std::size_t i) const { return begin()[i]; }
    const EvalResult& front() const { return *begin(); }
    operator std::span<const EvalResult>() const { return {begin(), size_}; }  // NOLINT

    std::vector<EvalResult> to_vector() && {
        if (!heap_.empty()) return std::move(heap_);
        return std::vector<EvalResult>(begin(), begin() + size_);
    }

private:
    static constexpr std::size_t kInline = 4;
    // A union leaves the inline room unwritten until results arrive: most
    // lists are made for one reference and hold one result.
    union {
        EvalResult inline_[kInline];
    };
    std::size_t size_ = 0;
    std::vector<EvalResult> heap_;  // every result once the inline room is exceeded
};

}  // namespace morvax
