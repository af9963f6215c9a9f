// One Wyoming connection: reads events, answers describe, speaks synthesize
// requests and streamed text, and writes the audio back as it is made.
#pragma once

#include "serve/voice_store.h"
#include "vclone.h"
#include "wyoming/event.h"
#include "wyoming/sentences.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace wyoming {

// What every connection of a server shares; fixed once the model is loaded.
struct SessionContext {
  vclone_model *model = nullptr;
  const VoiceStore *voices = nullptr;
  std::vector<std::string> languages;  // the model's codes
  std::string default_voice;
  vclone_options options = vclone_default_options();
  EventLimits limits;
  size_t max_text_chars = 4096;
  size_t max_sentence_bytes = 1000;  // a streamed run of text without a sentence end
  std::chrono::milliseconds idle_timeout{60000};
  int stop_fd = -1;  // readable once the server is stopping
};

class Session {
 public:
  Session(const SessionContext &context, int fd, std::string peer);
  // Serves the connection until the client leaves, breaks the protocol or
  // idles past the deadline, or the server stops (a synthesis in progress
  // finishes first). Does not close the socket.
  void run();

 private:
  enum class Next { kEvent, kEnd };
  Next read_next(Event &event);
  bool send(const std::string &type, const nlohmann::json &data = nlohmann::json::object(),
            std::string_view payload = {});
  bool send_error(const std::string &code, const std::string &text);

  // Each returns false once the connection is unusable.
  bool handle(const Event &event);
  bool describe();
  bool synthesize(const Event &event);
  bool stream_start(const Event &event);
  bool stream_chunk(const Event &event);
  bool stream_stop();

  struct Voice {
    VoicePtr voice;
    std::string language;
  };
  // Why a request is refused: an error event's code and text; empty when it
  // is not. The connection stays usable.
  struct Refusal {
    std::string code, text;
    explicit operator bool() const { return !code.empty(); }
  };
  bool send_error(const Refusal &refusal);
  // The voice and language of a request's "voice" field.
  Refusal resolve_voice(const nlohmann::json &data, Voice &voice) const;
  // The text of a one-shot request.
  Refusal check_text(const nlohmann::json &data, std::string &text) const;
  // audio-start, audio-chunks, audio-stop for one text. False when the
  // client is gone (the synthesis was stopped).
  bool speak(const std::string &text, const Voice &voice);

  static int on_audio(const float *samples, int n_samples, void *user_data);
  bool peer_gone() const;

  const SessionContext &context_;
  const int fd_;
  const std::string peer_;
  std::string buffer_;  // bytes received and not yet read as events

  // A streaming session (synthesize-start .. synthesize-stop).
  bool streaming_ = false;
  bool stream_refused_ = false;  // its voice was refused: its text is dropped
  Voice stream_voice_;
  SentenceBuffer sentences_;

  // The synthesis in progress.
  bool audio_started_ = false;
  bool write_failed_ = false;
};

}  // namespace wyoming
