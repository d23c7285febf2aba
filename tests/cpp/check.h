// A minimal test harness: TEST(name) { CHECK(...); CHECK_EQ(a, b); }
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace orx::test {

struct Case {
  const char* name;
  void (*fn)();
};

std::vector<Case>& cases();
void fail(const char* file, int line, const std::string& what);

template <class T>
std::string show(const T& v) {
  std::ostringstream os;
  if constexpr (requires { os << v; })
    os << v;
  else
    os << "<value>";
  return os.str();
}

}  // namespace orx::test

#define TEST(name)                                          \
  static void name();                                       \
  [[maybe_unused]] static const bool name##_registered =    \
      (orx::test::cases().push_back({#name, &name}), true); \
  static void name()

#define CHECK(cond)                                                       \
  do {                                                                    \
    if (!(cond)) orx::test::fail(__FILE__, __LINE__, "CHECK(" #cond ")"); \
  } while (0)

#define CHECK_EQ(a, b)                                                                    \
  do {                                                                                    \
    const auto check_a_ = (a); /* copies: the operands may be parts of temporaries */     \
    const auto check_b_ = (b);                                                            \
    if (!(check_a_ == check_b_))                                                          \
      orx::test::fail(__FILE__, __LINE__,                                                 \
                      "CHECK_EQ(" #a ", " #b "): " + orx::test::show(check_a_) + " vs " + \
                          orx::test::show(check_b_));                                     \
  } while (0)
