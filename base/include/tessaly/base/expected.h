// A value or an error, for results that can fail without exceptions. A result must not be dropped unread.
#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace tessaly::base {

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Expected(E error) : storage_(std::in_place_index<1>, std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const noexcept { return storage_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  const E& error() const& { return std::get<1>(storage_); }
  E&& error() && { return std::get<1>(std::move(storage_)); }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> storage_;
};

// Success with nothing to return, or the error.
template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  Expected(E error) : error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }

  const E& error() const& { return *error_; }
  E&& error() && { return *std::move(error_); }

 private:
  std::optional<E> error_;
};

}  // namespace tessaly::base
