// How every fuzz body reports a broken invariant: a "[fuzz]" line and an
// abort, which the fuzzer reports as a crash like any other.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

// Written to standard output too: scripts/fuzz.sh silences the libraries'
// standard error, on which every rejected input leaves a line.
inline void check(bool ok, const char *what) {
  if (ok) return;
  fprintf(stderr, "[fuzz] broken invariant: %s\n", what);
  printf("[fuzz] broken invariant: %s\n", what);
  fflush(stdout);
  abort();
}

}  // namespace fuzz
