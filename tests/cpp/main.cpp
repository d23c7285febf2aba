#include <cstdio>

#include "check.h"

namespace orx::test {

namespace {
int failures = 0;
}

std::vector<Case>& cases() {
  static std::vector<Case> all;
  return all;
}

void fail(const char* file, int line, const std::string& what) {
  ++failures;
  std::fprintf(stderr, "%s:%d: %s\n", file, line, what.c_str());
}

}  // namespace orx::test

int main() {
  using namespace orx::test;
  for (const Case& c : cases()) {
    const int before = failures;
    c.fn();
    std::printf("%s %s\n", failures == before ? "ok  " : "FAIL", c.name);
  }
  std::printf("%zu tests, %d failed checks\n", cases().size(), failures);
  return failures == 0 ? 0 : 1;
}
