// Text that arrives in arbitrary pieces (mid-sentence, mid-word, even
// mid-character), cut back into sentences as soon as each is complete, so
// speech can start before the whole text has arrived.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace wyoming {

// True when the text has nothing to speak: empty, or only Unicode white space,
// control and invisible format characters; the library's own judgement.
bool is_blank(std::string_view utf8);

// Unicode code points in UTF-8 text.
size_t code_points(std::string_view utf8);

class SentenceBuffer {
 public:
  // A run of text with no sentence end is cut at its last space once it
  // reaches max_sentence_bytes, so a client cannot make it grow without end.
  explicit SentenceBuffer(size_t max_sentence_bytes = 1000) : max_bytes_(max_sentence_bytes) {}

  void append(std::string_view text) { pending_.append(text.data(), text.size()); }

  // The next complete sentence, trimmed and not blank; false when none is
  // complete yet. A sentence ends at . ! ? or … (with any closing quotes and
  // brackets) followed by white space, not after a title like "Mr." or an
  // initial; at 。！？ followed by anything; and at a blank line.
  bool next_sentence(std::string &sentence);

  // Everything not yet returned, trimmed (may be blank); the buffer is emptied.
  std::string take_rest();

  size_t pending_bytes() const { return pending_.size(); }

 private:
  // The end of the first complete sentence in pending_, or npos.
  size_t sentence_end() const;
  size_t forced_cut() const;

  size_t max_bytes_;
  std::string pending_;
};

}  // namespace wyoming
