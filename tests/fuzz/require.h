// REQUIRE(cond): a fuzz target's invariant; aborts (which the fuzzer reports) when broken.
#pragma once

#include <cstdio>
#include <cstdlib>

#define REQUIRE(cond)                                                          \
  do {                                                                         \
    if (!(cond)) {                                                             \
      std::fprintf(stderr, "%s:%d: REQUIRE(%s)\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                            \
    }                                                                          \
  } while (0)
