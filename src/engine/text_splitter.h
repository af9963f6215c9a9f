// Long texts as pieces the decoder can speak one at a time: sentences packed
// together up to a character budget, over-long sentences cut at clause marks,
// then at spaces, then between characters.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Characters per piece for a language: 250 for alphabetic scripts (about
// 17 s of speech, well under the 602-code and 402-token limits), 100 for
// Chinese and Japanese, 150 for Korean, whose characters carry more speech.
size_t piece_budget(const std::string &language);

// The text's sentences: ends at . ! ? … followed by white space (with any
// closing quotes or brackets), and at 。！？ anywhere. A full stop after a
// common abbreviation ("Mr.", "e.g.") or a single letter ("J. Smith") ends
// nothing; one inside a number ("3.5") is not followed by a space. Each is
// trimmed; empty ones are dropped.
std::vector<std::string> split_sentences(const std::string &text);

// Consecutive sentences packed into pieces of at most max_chars characters
// (code points); a longer sentence is cut first after , ; : (and their CJK
// forms), then at spaces, then at character (grapheme cluster) boundaries.
std::vector<std::string> split_text(const std::string &text, size_t max_chars);
