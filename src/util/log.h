// Diagnostic lines: every stage reports through log_line, and the host
// decides where they go (vclone_log_set); by default each goes to standard
// error. Kept header-only so that every subsystem, and every test program
// that links a subsystem alone, shares the one sink of its binary.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>

enum LogLevel : int32_t { kLogDebug = 0, kLogInfo = 1, kLogWarn = 2, kLogError = 3 };

using LogCallback = void (*)(int32_t level, const char *line, void *user_data);

struct LogSink {
  std::mutex mutex;  // held while a line is delivered, so a sink is never swapped mid-line
  LogCallback callback = nullptr;
  void *user_data = nullptr;
};

inline LogSink &log_sink() {
  static LogSink sink;
  return sink;
}

inline void set_log_callback(LogCallback callback, void *user_data) {
  LogSink &sink = log_sink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  sink.callback = callback;
  sink.user_data = user_data;
}

// Formats one line into a fixed buffer (no allocation, so it is safe inside
// an exception handler), drops a trailing newline, and delivers it.
inline void log_line(int32_t level, const char *format, ...) __attribute__((format(printf, 2, 3)));
inline void log_line(int32_t level, const char *format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length < 0) return;
  if (length >= static_cast<int>(sizeof buffer)) length = sizeof buffer - 1;
  while (length > 0 && buffer[length - 1] == '\n') buffer[--length] = '\0';
  LogSink &sink = log_sink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  if (sink.callback)
    sink.callback(level, buffer, sink.user_data);
  else
    fprintf(stderr, "%s\n", buffer);
}
