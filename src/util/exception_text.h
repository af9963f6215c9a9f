// The message of an exception, without the stack trace libtorch appends.
#pragma once

#include <c10/util/Exception.h>

#include <exception>

inline const char *exception_text(const std::exception &e) {
  if (auto *torch_error = dynamic_cast<const c10::Error *>(&e))
    return torch_error->what_without_backtrace();
  return e.what();
}
