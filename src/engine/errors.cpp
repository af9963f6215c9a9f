#include "engine/engine.h"
#include "vclone.h"
#include "util/log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {
thread_local std::string last_error;
}

void set_last_error(const char *format, ...) {
  char buffer[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  last_error = buffer;
  log_line(kLogError, "[vclone] ERROR: %s\n", buffer);
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

extern "C" VCLONE_API const char *vclone_get_last_error(void) {
  return last_error.empty() ? nullptr : last_error.c_str();
}
