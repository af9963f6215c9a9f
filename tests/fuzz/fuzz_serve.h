// Bodies of the fuzz targets for what `vclone serve` reads from a client
// before any other work: the JSON body of a speech request and a multipart
// upload. Like fuzz_harness.h, a body returns normally for any input and
// aborts with a "[fuzz]" line when an invariant breaks; test_fuzz_replay
// runs every committed input through them.
#pragma once

#include "fuzz/fuzz_check.h"
#include "serve/speech_request.h"
#include "serve/upload_form.h"
#include "util/blank_text.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz_serve {

using fuzz::check;

inline const SpeechLimits &speech_limits() {
  static const SpeechLimits limits = [] {
    SpeechLimits l;
    l.max_body_bytes = 4096;
    l.max_text_chars = 64;
    l.languages = {"en", "zh-cn"};
    // Any in-range starting values: what is checked is that the body's
    // fields replace them only with in-range values.
    l.defaults = vclone_options{};
    l.defaults.temperature = 0.75f;
    l.defaults.top_k = 50;
    l.defaults.top_p = 0.85f;
    l.defaults.repetition_penalty = 5.0f;
    l.defaults.seed = VCLONE_NO_SEED;
    l.defaults.max_codes = 602;
    l.defaults.speed = 1.0f;
    return l;
  }();
  return limits;
}

// The bytes as the body of POST /v1/audio/speech.
inline void speech_request(const uint8_t *data, size_t size) {
  const SpeechLimits &limits = speech_limits();
  const std::string body(reinterpret_cast<const char *>(data), size);
  SpeechRequest request;
  const ApiError error = parse_speech_request(body, limits, request);
  if (error) {
    check(error.status == 400 || error.status == 413, "a refusal other than 400 or 413");
    check(!error.message.empty() && !error.type.empty(), "a refusal without a message or type");
    check(nlohmann::json::accept(error.body()), "a refusal whose body is not JSON");
    return;
  }
  check(body.size() <= limits.max_body_bytes, "a body over the limit accepted");
  check(!is_blank_text(request.input), "a blank input accepted");
  check(utf8_length(request.input) <= limits.max_text_chars, "an input over the limit accepted");
  check(request.language == "en" || request.language == "zh-cn",
        "a language not of the model accepted");
  const vclone_options &o = request.options;
  check(std::isfinite(o.temperature) && o.temperature > 0 && o.temperature <= 10,
        "temperature out of range");
  check(o.top_k >= 0 && o.top_k <= 1026, "top_k out of range");
  check(std::isfinite(o.top_p) && o.top_p > 0 && o.top_p <= 1, "top_p out of range");
  check(o.repetition_penalty >= 1 && o.repetition_penalty <= 100,
        "repetition_penalty out of range");
  check(o.max_codes >= 4 && o.max_codes <= 606, "max_codes out of range");
  check(o.speed >= 0.25f && o.speed <= 4, "speed out of range");
  // The same body parses the same way again.
  SpeechRequest again;
  check(!parse_speech_request(body, limits, again),
        "a body accepted once and refused the next time");
  check(
      again.input == request.input && again.voice == request.voice && again.options.seed == o.seed,
      "a body parsed two ways");
}

// A form of the given parts, as a client would send it.
inline std::string form_of(const std::vector<FormPart> &parts, const std::string &boundary) {
  std::string body;
  for (const FormPart &part : parts) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"";
    if (!part.filename.empty()) body += "; filename=\"" + part.filename + "\"";
    body += "\r\n";
    if (!part.content_type.empty()) body += "Content-Type: " + part.content_type + "\r\n";
    body += "\r\n";
    body.append(part.content.data(), part.content.size());
    body += "\r\n";
  }
  return body + "--" + boundary + "--\r\n";
}

inline bool plain(const std::string &text) {
  return text.find_first_of("\"\\\r\n") == std::string::npos;
}

// The bytes as an upload: the Content-Type value up to the first line
// break, then the body.
inline void upload_form(const uint8_t *data, size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  const size_t line_end = input.find('\n');
  const std::string content_type =
      line_end == std::string::npos ? input : input.substr(0, line_end);
  const std::string_view body = line_end == std::string::npos
                                    ? std::string_view()
                                    : std::string_view(input).substr(line_end + 1);
  const std::string boundary = form_boundary(content_type);
  check(boundary.size() <= 70, "a boundary over 70 characters");
  std::vector<FormPart> parts;
  std::string error;
  if (!parse_form(body, boundary, parts, error)) {
    check(parts.empty(), "a refused form left parts");
    check(!error.empty(), "a refused form without a reason");
    return;
  }
  check(parts.size() <= kMaxFormParts, "more parts than allowed");
  bool round_trip = true;
  for (const FormPart &part : parts) {
    check(part.content.data() >= body.data() &&
              part.content.data() + part.content.size() <= body.data() + body.size(),
          "a part outside the body");
    check(part.content.find("\r\n--" + boundary) == std::string_view::npos,
          "a part holding the delimiter");
    round_trip = round_trip && plain(part.name) && plain(part.filename) &&
                 plain(part.content_type) && part.content_type.find(';') == std::string::npos &&
                 !part.name.empty();
  }
  // Written out again as a client would, the parts read back the same.
  if (!round_trip) return;
  const std::string rewritten = form_of(parts, boundary);
  std::vector<FormPart> again;
  check(parse_form(rewritten, boundary, again, error), "a rewritten form refused");
  check(again.size() == parts.size(), "a rewritten form with another part count");
  for (size_t i = 0; i < parts.size(); i++)
    check(again[i].name == parts[i].name && again[i].filename == parts[i].filename &&
              again[i].content == parts[i].content,
          "a rewritten form read differently");
}

}  // namespace fuzz_serve
