// Error propagation, the one idiom of every library (GNU statement expressions).
#pragma once

#include <expected>
#include <type_traits>
#include <utility>

namespace core::detail {

// The value of a std::expected known to hold one (nothing for void).
template <class R>
auto try_value(R&& result) {
    if constexpr (!std::is_void_v<typename std::remove_cvref_t<R>::value_type>) return *std::forward<R>(result);
}

}  // namespace core::detail

// Evaluates a std::expected.  On failure returns its error from the enclosing
// function, converted to that function's error type; else yields the value
// (nothing for std::expected<void, E>).
#define KIV_TRY(expr)                                                                          \
    ({                                                                                         \
        auto&& kiv_try_ = (expr);                                                              \
        using kiv_try_type_ = decltype(kiv_try_);                                              \
        if (!kiv_try_) return std::unexpected(std::forward<kiv_try_type_>(kiv_try_).error()); \
        ::core::detail::try_value(std::forward<kiv_try_type_>(kiv_try_));                      \
    })
