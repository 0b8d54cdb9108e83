// The one assertion of the fuzz harnesses: on a broken invariant it prints
// what broke and aborts, which libFuzzer reports as a crash (and saves the
// input) and which fails the CTest replay.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, what)                                                             \
  do {                                                                                      \
    if (!(cond)) {                                                                          \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #cond, what); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)
