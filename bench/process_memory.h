// Resident memory of the benchmark's own process, for every benchmark (those
// on the public header alone included).
#pragma once

#include <cstdio>

// Resident and peak resident memory of this process in MB, from
// /proc/self/status.
struct Resident {
  double current_mb = 0;
  double peak_mb = 0;
};

inline Resident resident_memory() {
  Resident r;
  FILE *f = fopen("/proc/self/status", "r");
  if (f == nullptr) return r;
  char line[256];
  while (fgets(line, sizeof line, f) != nullptr) {
    long kb = 0;
    if (sscanf(line, "VmRSS: %ld kB", &kb) == 1) r.current_mb = kb / 1024.0;
    if (sscanf(line, "VmHWM: %ld kB", &kb) == 1) r.peak_mb = kb / 1024.0;
  }
  fclose(f);
  return r;
}

// Starts a new peak: the kernel resets VmHWM to the current resident size.
inline void reset_peak_memory() {
  FILE *f = fopen("/proc/self/clear_refs", "w");
  if (f == nullptr) return;
  fputs("5", f);
  fclose(f);
}
