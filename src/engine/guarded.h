// The guard at every C boundary: a body that throws becomes a recorded
// failure and the function's failure value, so no exception reaches a host.
#pragma once

#include "engine/engine.h"
#include "util/exception_text.h"

#include <exception>

// Runs body; on an exception records "<what> failed: <reason>" and returns
// failure. With a subject (the file a call works on) the message reads
// "<what>: <subject>: <reason>", what then saying the failure itself.
template <typename Result, typename Body>
Result guarded(const char *what, Result failure, Body body, const char *subject = nullptr) {
  try {
    return body();
  } catch (const std::exception &e) {
    if (subject)
      set_last_error("%s: %s: %s", what, subject, exception_text(e));
    else
      set_last_error("%s failed: %s", what, exception_text(e));
  } catch (...) {
    if (subject)
      set_last_error("%s: %s: unknown error", what, subject);
    else
      set_last_error("%s failed: unknown error", what);
  }
  return failure;
}
