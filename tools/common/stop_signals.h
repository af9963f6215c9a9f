// SIGTERM and SIGINT for the servers: signals reach whichever thread the
// kernel picks, including threads the math libraries started before us, so
// the handler only writes the signal's number to a pipe that one thread of
// the server waits on.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace stop_signals_detail {
inline int pipe_fds[2] = {-1, -1};

inline void on_signal(int number) {
  const int saved = errno;
  const char byte = static_cast<char>(number);
  (void)!write(pipe_fds[1], &byte, 1);
  errno = saved;
}
}  // namespace stop_signals_detail

// Routes SIGTERM and SIGINT to wait_for_stop_signal(), and makes a write to a
// client that hung up fail instead of killing the process. False when no
// pipe can be made.
inline bool catch_stop_signals() {
  using namespace stop_signals_detail;
  if (pipe_fds[0] < 0 && pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

// Blocks until a stop signal arrives (returns its number) or
// wake_stop_signal_waiter() is called (returns 0).
inline int wait_for_stop_signal() {
  char number = 0;
  while (read(stop_signals_detail::pipe_fds[0], &number, 1) < 0 && errno == EINTR) {
  }
  return number;
}

// Ends a wait_for_stop_signal() without a signal, when the server ended on
// its own.
inline void wake_stop_signal_waiter() {
  const char wake = 0;
  (void)!write(stop_signals_detail::pipe_fds[1], &wake, 1);
}
