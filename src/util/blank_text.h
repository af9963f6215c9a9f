// Whether a text has nothing to speak: only white space (Unicode's, such as
// U+00A0 and U+3000, not only ASCII's), control and invisible format
// characters. Header-only and free of libtorch, so that the library and the
// tools (which refuse such a text before a model loads or a request queues)
// judge it the same way.
#pragma once

#include <utf8proc.h>

#include <string>

inline bool is_blank_text(const std::string &text) {
  const auto *bytes = reinterpret_cast<const utf8proc_uint8_t *>(text.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t code = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(bytes, left, &code);
    if (used <= 0) return false;  // a malformed byte is spoken as U+FFFD
    switch (utf8proc_category(code)) {
      case UTF8PROC_CATEGORY_ZS:
      case UTF8PROC_CATEGORY_ZL:
      case UTF8PROC_CATEGORY_ZP:
      case UTF8PROC_CATEGORY_CC:
      case UTF8PROC_CATEGORY_CF:
        break;
      default:
        return false;
    }
    bytes += used;
    left -= used;
  }
  return true;
}
