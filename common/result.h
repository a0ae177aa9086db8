#pragma once
// A small result type: every fallible operation of the core returns one, and
// only the two operations decide that an error ends the call.
#include <utility>
#include <variant>

namespace seqtally {

template <class E>
struct Err {
    E error;
};

template <class E>
Err(E) -> Err<E>;

struct Ok {};

template <class T, class E>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Err<E> err) : state_(std::in_place_index<1>, std::move(err.error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return *std::get_if<0>(&state_); }
    const T& value() const& { return *std::get_if<0>(&state_); }
    T&& value() && { return std::move(*std::get_if<0>(&state_)); }
    E& error() & { return *std::get_if<1>(&state_); }
    const E& error() const& { return *std::get_if<1>(&state_); }
    E&& error() && { return std::move(*std::get_if<1>(&state_)); }

  private:
    std::variant<T, E> state_;
};

// For operations that produce nothing but may fail.
template <class E>
using Status = Result<Ok, E>;

}  // namespace seqtally
