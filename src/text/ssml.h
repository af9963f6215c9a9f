// SSML documents (<speak> with break, say-as, sub, p, s, prosody, lang) as
// spans of plain text through libxml2.
#pragma once

#include "text/text_front_end.h"

#include <string>
#include <vector>

bool parse_ssml(const std::string &document, const std::string &language,
                const TextOptions &options, std::vector<TextSpan> &spans, std::string &error);
