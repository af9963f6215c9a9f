// How the long-running servers ask glibc to hand memory back.
#pragma once

#include <malloc.h>

// Each connection has a thread of its own, and glibc would give such threads
// up to eight malloc arenas per core, each keeping for good what the
// syntheses run on it freed. Past that, glibc raises its mmap threshold to
// the largest block yet freed, so a synthesis's large tensors come from the
// heap afterwards and leave holes that no later request fills: hundreds of MB
// over a soak of mixed requests. Two arenas, and large blocks always mapped
// and unmapped on their own, keep the resident size flat; the cost is a page
// fault per fresh page of a large tensor, small beside the arithmetic.
inline void keep_resident_memory_flat() {
  mallopt(M_ARENA_MAX, 2);
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
}
