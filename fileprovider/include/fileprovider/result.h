// A value or an error, the one result type of the platform and its callers.
#ifndef FILEPROVIDER_RESULT_H_
#define FILEPROVIDER_RESULT_H_

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace fp {

// Wraps an error value so that Result<T, E> can be built from it even when T
// and E convert into each other.
template <class E>
struct Failure {
  E error;
};
template <class E>
Failure<std::decay_t<E>> fail(E&& e) {
  return {std::forward<E>(e)};
}

// Result<T, E> holds either a T (success) or an E (failure). Reading the side
// that is not held is a programming error (asserted in debug builds).
template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit on purpose
  template <class F, class = std::enable_if_t<std::is_constructible_v<E, F&&>>>
  Result(Failure<F> f) : v_(std::in_place_index<1>, E(std::move(f.error))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  const E& error() const& {
    assert(!ok());
    return std::get<1>(v_);
  }
  E&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  std::variant<T, E> v_;
};

// Success without a value.
struct Ok {};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(Ok) {}  // NOLINT
  template <class F, class = std::enable_if_t<std::is_constructible_v<E, F&&>>>
  Result(Failure<F> f) : v_(std::in_place_index<1>, E(std::move(f.error))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  const E& error() const& {
    assert(!ok());
    return std::get<1>(v_);
  }
  E&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }

 private:
  std::variant<std::monostate, E> v_;
};

// The failure held by `result`, to return from a function whose result has
// another value type:
//   auto page = read();
//   if (!page.ok()) return fp::propagate(page);
// Moves the error out: `result` must not be read afterwards.
template <class T, class E>
[[nodiscard]] Failure<E> propagate(Result<T, E>& result) {
  return {std::move(result).error()};
}
template <class T, class E>
[[nodiscard]] Failure<E> propagate(Result<T, E>&& result) {
  return {std::move(result).error()};
}

}  // namespace fp

#endif  // FILEPROVIDER_RESULT_H_
