// Diagnostic lines: every stage reports through log_line, and the host
// decides where they go (vclone_log_set); by default each goes to standard
// error. Kept header-only so that every subsystem, and every test program
// that links a subsystem alone, shares the one sink of its binary.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>

enum LogLevel : int32_t { kLogDebug = 0, kLogInfo = 1, kLogWarn = 2, kLogError = 3 };

using LogCallback = void (*)(int32_t level, const char *line, void *user_data);

// The sink is read under its mutex, but the line is delivered outside it, so
// that a callback may itself call vclone_log_set (or log). Changing the sink
// from outside a callback waits until lines already handed to the old one
// have been delivered: once vclone_log_set returns, the old callback is
// never called again, and its user_data may be freed. From inside a callback
// it cannot wait (two such callbacks would wait for each other).
struct LogSink {
  std::mutex mutex;
  std::condition_variable idle;
  LogCallback callback = nullptr;
  void *user_data = nullptr;
  int delivering = 0;  // lines being delivered, on every thread
};

inline LogSink &log_sink() {
  static LogSink sink;
  return sink;
}

// Lines this thread is delivering (a callback that logs or changes the sink).
inline int &log_lines_in_delivery() {
  thread_local int lines = 0;
  return lines;
}

inline void set_log_callback(LogCallback callback, void *user_data) {
  LogSink &sink = log_sink();
  std::unique_lock<std::mutex> lock(sink.mutex);
  if (log_lines_in_delivery() == 0) sink.idle.wait(lock, [&] { return sink.delivering == 0; });
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
  LogCallback callback;
  void *user_data;
  {
    std::lock_guard<std::mutex> lock(sink.mutex);
    callback = sink.callback;
    user_data = sink.user_data;
    if (!callback) {
      fprintf(stderr, "%s\n", buffer);  // under the mutex: lines never interleave
      return;
    }
    sink.delivering++;
  }
  log_lines_in_delivery()++;
  callback(level, buffer, user_data);
  log_lines_in_delivery()--;
  std::lock_guard<std::mutex> lock(sink.mutex);
  sink.delivering--;
  sink.idle.notify_all();
}
