// Engine state shared by the exported functions: the one loaded model, the
// per-thread error message and the clock.
#pragma once

#include <cstdint>

struct VcloneModel;

// The process-wide model; null while nothing is loaded.
extern VcloneModel *current_model;

// Records a printf-style message (cut at 2047 characters) as the calling
// thread's last error and prints it as "[vclone] ERROR: ...".
void set_last_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Monotonic clock in nanoseconds.
int64_t now_ns();
