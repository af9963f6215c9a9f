// The calling thread's last error, which every exported function that fails
// records (vclone_get_last_error reads it), and the monotonic clock.
#pragma once

#include <cstdint>

// Records a printf-style message (cut at 2047 characters) as the calling
// thread's last error and logs it as "[vclone] ERROR: ...". Never allocates.
void set_last_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Monotonic clock in nanoseconds.
int64_t now_ns();
