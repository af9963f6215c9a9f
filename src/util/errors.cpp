#include "util/errors.h"

#include "util/log.h"
#include "vclone.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace {
// A fixed buffer: recording a message never allocates, so it is safe inside
// a handler for std::bad_alloc.
thread_local char last_error[2048];
thread_local bool has_last_error = false;
}  // namespace

void set_last_error(const char *format, ...) {
  char buffer[sizeof last_error];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  snprintf(last_error, sizeof last_error, "%s", buffer);
  has_last_error = true;
  log_line(kLogError, "[vclone] ERROR: %s", buffer);
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

extern "C" VCLONE_API const char *vclone_get_last_error(void) {
  return has_last_error && last_error[0] ? last_error : nullptr;
}
