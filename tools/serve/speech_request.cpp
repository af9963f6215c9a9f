#include "serve/speech_request.h"

#include "util/blank_text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

using nlohmann::json;

namespace {

std::string range_text(double low, double high) {
  auto show = [](double v) {
    std::string s = std::to_string(v);
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.') s.pop_back();
    return s;
  };
  return show(low) + " .. " + show(high);
}

// A number field within [low, high] (low excluded when open_low).
ApiError read_number(const json &body, const char *name, double low, double high, bool open_low,
                     float &out) {
  if (!body.contains(name) || body[name].is_null()) return {};
  const json &value = body[name];
  if (!value.is_number()) return bad_field(name, "must be a number");
  const double v = value.get<double>();
  if (!std::isfinite(v) || v > high || v < low || (open_low && v == low))
    return bad_field(
        name, std::string("must be in ") + (open_low ? "(" : "[") + range_text(low, high) + "]");
  out = static_cast<float>(v);
  return {};
}

ApiError read_integer(const json &body, const char *name, int64_t low, int64_t high, int32_t &out) {
  if (!body.contains(name) || body[name].is_null()) return {};
  const json &value = body[name];
  if (!value.is_number_integer()) return bad_field(name, "must be an integer");
  // JSON readers keep non-negative integers unsigned; compare in the wider type.
  const bool in_range =
      value.is_number_unsigned()
          ? value.get<uint64_t>() >= static_cast<uint64_t>(std::max<int64_t>(low, 0)) &&
                value.get<uint64_t>() <= static_cast<uint64_t>(high)
          : value.get<int64_t>() >= low && value.get<int64_t>() <= high;
  if (!in_range)
    return bad_field(name, "must be in " + std::to_string(low) + " .. " + std::to_string(high));
  out = static_cast<int32_t>(value.get<int64_t>());
  return {};
}

ApiError read_seed(const json &body, uint64_t &seed) {
  if (!body.contains("seed") || body["seed"].is_null()) return {};
  const json &value = body["seed"];
  if (!value.is_number_integer() || (!value.is_number_unsigned() && value.get<int64_t>() < 0))
    return bad_field("seed", "must be a non-negative integer");
  seed = value.get<uint64_t>();
  if (seed == VCLONE_NO_SEED) return bad_field("seed", "must be below 2^64 - 1");
  return {};
}

ApiError read_string(const json &body, const char *name, bool required, std::string &out) {
  if (!body.contains(name) || body[name].is_null())
    return required ? with_code(bad_field(name, "is required"), "missing_required_parameter")
                    : ApiError{};
  if (!body[name].is_string()) return bad_field(name, "must be a string");
  out = body[name].get<std::string>();
  return {};
}

// A voice's name, given as the name itself or as an object {"id": name}.
ApiError read_voice(const json &body, std::string &voice) {
  if (!body.contains("voice") || body["voice"].is_null())
    return with_code(bad_field("voice", "is required"), "missing_required_parameter");
  const json &value = body["voice"];
  if (value.is_object() && value.contains("id") && value["id"].is_string()) {
    voice = value["id"].get<std::string>();
    return {};
  }
  if (!value.is_string())
    return bad_field("voice", "must be a voice's name or an object {\"id\": name}");
  voice = value.get<std::string>();
  return {};
}

ApiError read_text_fields(const json &body, const SpeechLimits &limits, SpeechRequest &request) {
  if (ApiError e = read_string(body, "input", true, request.input)) return e;
  if (is_blank_text(request.input)) return bad_field("input", "is empty");
  if (utf8_length(request.input) > limits.max_text_chars) {
    ApiError e{413,
               "\"input\" is longer than " + std::to_string(limits.max_text_chars) + " characters",
               "request_too_large", "input"};
    return e;
  }
  if (ApiError e = read_voice(body, request.voice)) return e;
  if (ApiError e = read_string(body, "language", false, request.language)) return e;
  if (!limits.languages.empty() && std::find(limits.languages.begin(), limits.languages.end(),
                                             request.language) == limits.languages.end())
    return bad_field("language", "\"" + request.language + "\" is not a language of this model");
  std::string format = audio_format_name(request.format);
  if (ApiError e = read_string(body, "response_format", false, format)) return e;
  if (!audio_format_from_name(format, request.format))
    return with_code(bad_field("response_format", "must be one of " + audio_format_list()),
                     "unsupported_response_format");
  std::string stream_format = "audio";
  if (ApiError e = read_string(body, "stream_format", false, stream_format)) return e;
  if (stream_format != "audio" && stream_format != "sse")
    return bad_field("stream_format", "must be \"audio\" or \"sse\"");
  request.sse = stream_format == "sse";
  return {};
}

ApiError read_options(const json &body, SpeechRequest &request) {
  vclone_options &o = request.options;
  if (body.contains("stream") && !body["stream"].is_null()) {
    if (!body["stream"].is_boolean()) return bad_field("stream", "must be true or false");
    request.stream = body["stream"].get<bool>();
  }
  if (ApiError e = read_number(body, "speed", 0.25, 4.0, false, o.speed)) return e;
  if (ApiError e = read_number(body, "temperature", 0.0, 10.0, true, o.temperature)) return e;
  if (ApiError e = read_integer(body, "top_k", 0, 1026, o.top_k)) return e;
  if (ApiError e = read_number(body, "top_p", 0.0, 1.0, true, o.top_p)) return e;
  if (ApiError e = read_number(body, "repetition_penalty", 1.0, 100.0, false, o.repetition_penalty))
    return e;
  if (ApiError e = read_integer(body, "max_codes", 4, 606, o.max_codes)) return e;
  if (ApiError e = read_seed(body, o.seed)) return e;
  // Text reading: numbers and symbols as words unless "normalize": false;
  // "ssml": true takes "input" as a <speak> document.
  for (const auto &[name, field] :
       {std::pair<const char *, int32_t *>{"normalize", &o.normalize}, {"ssml", &o.ssml}}) {
    if (!body.contains(name) || body[name].is_null()) continue;
    if (!body[name].is_boolean()) return bad_field(name, "must be true or false");
    *field = body[name].get<bool>() ? 1 : 0;
  }
  return {};
}

}  // namespace

size_t utf8_length(const std::string &text) {
  return std::count_if(text.begin(), text.end(),
                       [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
}

ApiError parse_speech_request(const std::string &body, const SpeechLimits &limits,
                              SpeechRequest &request) {
  request.options = limits.defaults;
  if (body.size() > limits.max_body_bytes) {
    ApiError e{
        413, "the request body is larger than " + std::to_string(limits.max_body_bytes) + " bytes",
        "request_too_large", ""};
    return e;
  }
  const json parsed = json::parse(body, nullptr, false);
  if (parsed.is_discarded())
    return with_code(api_error(400, "invalid_request_error", "the body is not valid JSON"),
                     "invalid_json");
  if (!parsed.is_object())
    return api_error(400, "invalid_request_error", "the body must be a JSON object");
  if (ApiError e = read_text_fields(parsed, limits, request)) return e;
  return read_options(parsed, request);
}
