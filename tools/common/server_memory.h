// How the long-running servers ask glibc to hand memory back.
#pragma once

#include <malloc.h>

// Each connection has a thread of its own, and glibc would give such threads
// up to eight malloc arenas per core, each keeping for good what the
// syntheses run on it freed. Called first, before any thread starts.
inline void limit_malloc_arenas() { mallopt(M_ARENA_MAX, 2); }

// What the syntheses freed goes back to the system once none runs: glibc
// keeps freed pages inside its heaps, where the next request's tensors of
// other sizes leave holes around them, hundreds of MB over a soak of mixed
// requests. Costs a walk over the heaps, a few milliseconds.
inline void release_free_memory() { malloc_trim(0); }
