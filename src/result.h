// Result<T>: a value or an Error. Every core operation that can fail returns one; nothing in
// the core throws across its own boundary or reports through global state.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "error.h"

namespace orx {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& operator*() & { return *std::get_if<0>(&v_); }
  const T& operator*() const& { return *std::get_if<0>(&v_); }
  // By value: a reference into a temporary Result would dangle.
  T operator*() && { return std::move(*std::get_if<0>(&v_)); }
  T* operator->() { return std::get_if<0>(&v_); }
  const T* operator->() const { return std::get_if<0>(&v_); }

  Error& error() & { return *std::get_if<1>(&v_); }
  const Error& error() const& { return *std::get_if<1>(&v_); }
  Error error() && { return std::move(*std::get_if<1>(&v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : e_(std::move(error)) {}

  bool ok() const { return !e_.has_value(); }
  explicit operator bool() const { return ok(); }

  Error& error() & { return *e_; }
  const Error& error() const& { return *e_; }
  Error error() && { return std::move(*e_); }

 private:
  std::optional<Error> e_;
};

using Status = Result<void>;

}  // namespace orx

#define ORX_CAT_(a, b) a##b
#define ORX_CAT(a, b) ORX_CAT_(a, b)

// ORX_TRY(auto x, expr): evaluate expr (a Result); on error return it from the enclosing
// function, otherwise bind the value to the declaration.
#define ORX_TRY(decl, expr) ORX_TRY_(ORX_CAT(orx_try_, __COUNTER__), decl, expr)
#define ORX_TRY_(tmp, decl, expr)               \
  auto tmp = (expr);                            \
  if (!tmp.ok()) return std::move(tmp).error(); \
  decl = std::move(*tmp)

// ORX_CHECK(expr): evaluate a Status or Result and return its error, if any.
#define ORX_CHECK(expr)                                         \
  do {                                                          \
    auto orx_check_ = (expr);                                   \
    if (!orx_check_.ok()) return std::move(orx_check_).error(); \
  } while (0)
