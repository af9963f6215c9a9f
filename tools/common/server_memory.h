// How the long-running servers ask glibc to hand memory back.
#pragma once

#include <malloc.h>

// Each connection has a thread of its own, and glibc would give such threads
// up to eight malloc arenas per core, each keeping for good what the
// syntheses run on it freed. Called first, before any thread starts.
inline void limit_malloc_arenas() { mallopt(M_ARENA_MAX, 2); }

// glibc raises its mmap threshold to the largest block yet freed, so after
// the first synthesis its large tensors come from the heap and leave holes
// that later requests do not fill: hundreds of MB over a soak of mixed
// requests. Blocks of 4 MB and more (activations of long references and
// long pieces) are mapped and unmapped on their own instead. Called once
// the model is loaded: loading makes so many large blocks that mapping each
// would triple its time, while a synthesis's are few.
inline void map_large_blocks() {
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
}
