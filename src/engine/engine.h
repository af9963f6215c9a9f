// Engine state shared by the exported functions: the one process-wide model
// of the original interface, the per-thread error message and the clock.
#pragma once

#include <cstdint>

struct vclone_model;
using VcloneModel = vclone_model;

// The process-wide model of vclone_load; null while nothing is loaded.
extern VcloneModel *current_model;

// Records a printf-style message (cut at 2047 characters) as the calling
// thread's last error and logs it as "[vclone] ERROR: ...". Never allocates.
void set_last_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Monotonic clock in nanoseconds.
int64_t now_ns();
