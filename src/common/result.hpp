// Result<T, E>: a value or an error record, returned by every fallible call.
// Header-only, no interpreter: used by the core stages and by the module surface alike.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorlane {

// Holds either a value of type T or an error of type E. T and E must be
// distinct types so that construction from either is unambiguous.
template <typename T, typename E>
class [[nodiscard]] Result {
    static_assert(!std::is_same_v<T, E>, "value and error types must differ");

public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    T& operator*() & { return value(); }

    E& error() & { return std::get<1>(state_); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

// Success without a value, or an error.
template <typename E>
class [[nodiscard]] Result<void, E> {
public:
    // Empty body rather than "= default": value-initialisation would otherwise zero
    // the whole error record on every successful return.
    Result() noexcept {}
    Result(E error) : error_(std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }

    E& error() & { return *error_; }
    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

private:
    std::optional<E> error_;
};

// A broken invariant inside the core (a span outside its buffer, a size that
// overflows). The module surface raises it as the internal-failure exception.
struct InvariantViolation {
    const char* message;
};

}  // namespace vorlane
