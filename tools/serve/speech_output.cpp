#include "serve/speech_output.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

std::string event(const json &data) { return "data: " + data.dump() + "\n\n"; }

}  // namespace

std::string base64(const std::string &bytes) {
  static const char *digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                       static_cast<uint8_t>(bytes[i + 1]) << 8 | static_cast<uint8_t>(bytes[i + 2]);
    out += {digits[v >> 18], digits[(v >> 12) & 63], digits[(v >> 6) & 63], digits[v & 63]};
  }
  if (i + 1 == bytes.size()) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    out += {digits[v >> 18], digits[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1])
                                                                  << 8;
    out += {digits[v >> 18], digits[(v >> 12) & 63], digits[(v >> 6) & 63], '='};
  }
  return out;
}

std::unique_ptr<SpeechOutput> SpeechOutput::create(AudioFormat format, bool sse,
                                                   int32_t sample_rate, std::string &error) {
  std::unique_ptr<AudioEncoder> encoder = AudioEncoder::create(format, sample_rate, true, error);
  if (!encoder) return nullptr;
  return std::unique_ptr<SpeechOutput>(
      new SpeechOutput(std::move(encoder), format, sse, sample_rate));
}

const char *SpeechOutput::content_type() const {
  return sse_ ? "text/event-stream" : audio_format_mime(format_);
}

void SpeechOutput::put(const std::string &bytes, std::string &out) const {
  if (bytes.empty()) return;
  if (sse_)
    out += event({{"type", "speech.audio.delta"}, {"audio", base64(bytes)}});
  else
    out += bytes;
}

bool SpeechOutput::audio(const float *samples, size_t count, std::string &out) {
  std::string bytes;
  if (!encoder_->write(samples, count, bytes)) return false;
  samples_ += static_cast<long long>(count);
  bytes_sent_ += bytes.size();
  put(bytes, out);
  return true;
}

bool SpeechOutput::finish(std::string &out, size_t input_characters) {
  std::string bytes;
  if (!encoder_->finish(bytes)) return false;
  bytes_sent_ += bytes.size();
  put(bytes, out);
  if (sse_) {
    // The API's usage counts tokens, which the library does not report;
    // this one counts what a client can check: characters in, audio out.
    const double seconds = static_cast<double>(samples_) / sample_rate_;
    out += event({{"type", "speech.audio.done"},
                  {"usage",
                   {{"input_characters", input_characters},
                    {"output_audio_seconds", seconds},
                    {"output_samples", samples_},
                    {"output_bytes", bytes_sent_}}}});
  }
  return true;
}

std::string SpeechOutput::error_event(const ApiError &error) const {
  if (!sse_) return "";
  json body = json::parse(error.body());
  return event({{"type", "error"}, {"error", body["error"]}});
}
