#include "wyoming/session.h"

#include "common/audio_encoder.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

using nlohmann::json;

namespace wyoming {

namespace {

using Clock = std::chrono::steady_clock;

// Audio leaves in events of at most this many samples (about 0.7 s), so a
// client never has to hold a large payload to play the first of it.
constexpr int kMaxChunkSamples = 16384;

const char *const kDescription = "Speaks a text in the voice of a short reference recording";

json audio_format() { return {{"rate", vclone_sample_rate()}, {"width", 2}, {"channels", 1}}; }

json attribution() { return {{"name", "vclone"}, {"url", ""}}; }

std::string last_error(const char *fallback) {
  const char *message = vclone_get_last_error();
  return message && *message ? message : fallback;
}

// The model's code for a requested language: "en", "EN", "en-US" and "en_US"
// all name "en"; "zh-CN" names "zh-cn" when the model has it.
bool match_language(const std::vector<std::string> &codes, std::string given, std::string &code) {
  for (char &c : given)
    c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const std::string &candidate : {given, given.substr(0, given.find('-'))})
    if (std::find(codes.begin(), codes.end(), candidate) != codes.end()) {
      code = candidate;
      return true;
    }
  return false;
}

std::string joined(const std::vector<std::string> &words) {
  std::string out;
  for (const std::string &word : words) out += (out.empty() ? "" : " ") + word;
  return out;
}

}  // namespace

Session::Session(const SessionContext &context, int fd, std::string peer)
    : context_(context), fd_(fd), peer_(std::move(peer)), sentences_(context.max_sentence_bytes) {}

void Session::run() {
  Event event;
  while (read_next(event) == Next::kEvent)
    if (!handle(event)) break;
}

Session::Next Session::read_next(Event &event) {
  // Each event must arrive whole within the idle timeout of the end of the
  // previous one, so neither silence nor a trickle holds a connection.
  const Clock::time_point deadline = Clock::now() + context_.idle_timeout;
  for (;;) {
    const ReadResult result = read_event(buffer_, context_.limits, event);
    if (result.status == ReadStatus::kEvent) {
      buffer_.erase(0, result.consumed);
      return Next::kEvent;
    }
    if (result.status == ReadStatus::kError) {
      fprintf(stderr, "vclone wyoming: %s: %s; closing the connection\n", peer_.c_str(),
              result.error.c_str());
      send_error("bad-event", result.error);
      return Next::kEnd;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      send_error("timeout", "no complete event within " +
                                std::to_string(context_.idle_timeout.count() / 1000.0) +
                                " s; closing the connection");
      return Next::kEnd;
    }
    pollfd fds[2] = {{fd_, POLLIN, 0}, {context_.stop_fd, POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (ready < 0 && errno != EINTR) return Next::kEnd;
    if (ready <= 0) continue;
    if (fds[1].revents) return Next::kEnd;  // stopping: no new work
    char chunk[1 << 16];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got == 0) {
      if (!buffer_.empty())
        fprintf(stderr, "vclone wyoming: %s: the connection ended inside an event\n",
                peer_.c_str());
      return Next::kEnd;
    }
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Next::kEnd;
    }
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}

bool Session::send(const std::string &type, const json &data, std::string_view payload) {
  const std::string bytes = write_event(type, data, payload);
  // The socket's send timeout (the idle timeout) bounds a client that does
  // not read.
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool Session::send_error(const std::string &code, const std::string &text) {
  return send("error", {{"text", text}, {"code", code}});
}

bool Session::send_error(const Refusal &refusal) { return send_error(refusal.code, refusal.text); }

bool Session::handle(const Event &event) {
  if (event.type == "describe") return describe();
  // Clients that stream text also send the whole text as one synthesize
  // event, for servers that cannot stream; inside a stream it is a copy.
  if (event.type == "synthesize") return streaming_ || synthesize(event);
  if (event.type == "synthesize-start") return stream_start(event);
  if (event.type == "synthesize-chunk") return stream_chunk(event);
  if (event.type == "synthesize-stop") return stream_stop();
  return true;  // events of other services are not ours to answer
}

bool Session::describe() {
  json voices = json::array();
  for (const VoiceEntry &entry : context_.voices->list())
    voices.push_back({{"name", entry.id},
                      {"languages", context_.languages},
                      {"installed", true},
                      {"attribution", attribution()},
                      {"description", "voice file " + entry.id + ".vcv"},
                      {"version", nullptr}});
  json program = {{"name", "vclone"},
                  {"attribution", attribution()},
                  {"installed", true},
                  {"version", vclone_version()},
                  {"description", kDescription},
                  {"supports_synthesize_streaming", true},
                  {"voices", voices}};
  return send("info", {{"tts", json::array({program})}});
}

Session::Refusal Session::resolve_voice(const json &data, Voice &voice) const {
  std::string name = context_.default_voice, language;
  if (const auto fields = data.find("voice"); fields != data.end() && !fields->is_null()) {
    if (!fields->is_object()) return {"bad-event", "\"voice\" must be an object"};
    if (const auto given = fields->find("name"); given != fields->end() && !given->is_null()) {
      if (!given->is_string()) return {"bad-event", "\"voice.name\" must be a string"};
      name = given->get<std::string>();
    }
    if (const auto given = fields->find("language"); given != fields->end() && !given->is_null()) {
      if (!given->is_string()) return {"bad-event", "\"voice.language\" must be a string"};
      if (!match_language(context_.languages, given->get<std::string>(), language))
        return {"unknown-language", "no language \"" + given->get<std::string>() +
                                        "\"; the model has: " + joined(context_.languages)};
    }
  }
  if (language.empty() && !match_language(context_.languages, "en", language))
    language = context_.languages.empty() ? "en" : context_.languages.front();
  if (!context_.voices->exists(name)) {
    std::vector<std::string> known;
    for (const VoiceEntry &entry : context_.voices->list()) known.push_back(entry.id);
    return {"unknown-voice", "no voice \"" + name + "\"; there are: " + joined(known)};
  }
  std::string error;
  voice.voice = context_.voices->load(name, error);
  if (!voice.voice) return {"unknown-voice", error};
  voice.language = language;
  return {};
}

Session::Refusal Session::check_text(const json &data, std::string &text) const {
  const auto found = data.find("text");
  if (found == data.end() || !found->is_string()) return {"bad-text", "\"text\" must be a string"};
  text = found->get<std::string>();
  if (is_blank(text)) return {"bad-text", "the text is blank: nothing to speak"};
  if (code_points(text) > context_.max_text_chars)
    return {"text-too-long",
            "the text is longer than " + std::to_string(context_.max_text_chars) + " characters"};
  return {};
}

bool Session::synthesize(const Event &event) {
  std::string text;
  Voice voice;
  if (const Refusal refusal = check_text(event.data, text)) return send_error(refusal);
  if (const Refusal refusal = resolve_voice(event.data, voice)) return send_error(refusal);
  return speak(text, voice);
}

bool Session::stream_start(const Event &event) {
  if (streaming_)
    return send_error("bad-event",
                      "synthesize-start inside a streamed text; send synthesize-stop first");
  streaming_ = true;
  stream_voice_ = Voice();
  sentences_ = SentenceBuffer(context_.max_sentence_bytes);
  // A refused voice is reported once; the stream's text is then dropped and
  // synthesize-stop still answers, so the client's sequence runs its course.
  const Refusal refusal = resolve_voice(event.data, stream_voice_);
  stream_refused_ = static_cast<bool>(refusal);
  return !refusal || send_error(refusal);
}

bool Session::stream_chunk(const Event &event) {
  if (!streaming_)
    return send_error("bad-event",
                      "synthesize-chunk outside a streamed text; send synthesize-start first");
  const auto text = event.data.find("text");
  if (text == event.data.end() || !text->is_string())
    return send_error("bad-text", "\"text\" must be a string");
  if (stream_refused_) return true;
  sentences_.append(text->get_ref<const std::string &>());
  for (std::string sentence; sentences_.next_sentence(sentence);)
    if (!speak(sentence, stream_voice_)) return false;
  return true;
}

bool Session::stream_stop() {
  if (!streaming_) return send_error("bad-event", "synthesize-stop outside a streamed text");
  streaming_ = false;
  const std::string rest = sentences_.take_rest();
  if (!stream_refused_ && !is_blank(rest) && !speak(rest, stream_voice_)) return false;
  stream_voice_ = Voice();
  return send("synthesize-stopped");
}

bool Session::peer_gone() const {
  // Only looks: the client's next events stay queued for after the synthesis.
  pollfd watch{fd_, POLLRDHUP, 0};
  return poll(&watch, 1, 0) > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

int Session::on_audio(const float *samples, int n_samples, void *user_data) {
  auto *session = static_cast<Session *>(user_data);
  if (session->peer_gone()) {
    session->write_failed_ = true;
    return 1;
  }
  if (!session->audio_started_) {
    session->audio_started_ = true;
    if (!session->send("audio-start", audio_format())) session->write_failed_ = true;
  }
  for (int done = 0; done < n_samples && !session->write_failed_; done += kMaxChunkSamples) {
    const int count = std::min(kMaxChunkSamples, n_samples - done);
    if (!session->send("audio-chunk", audio_format(),
                       pcm16_bytes(samples + done, static_cast<size_t>(count))))
      session->write_failed_ = true;
  }
  return session->write_failed_ ? 1 : 0;
}

bool Session::speak(const std::string &text, const Voice &voice) {
  audio_started_ = false;
  write_failed_ = false;
  const int status = vclone_speak_stream(context_.model, text.c_str(), voice.language.c_str(),
                                         voice.voice.get(), &context_.options, on_audio, this);
  if (status == 1 || write_failed_) {
    fprintf(stderr, "vclone wyoming: %s: the client left during a synthesis; stopped it\n",
            peer_.c_str());
    return false;
  }
  if (status != 0) {
    const std::string error = last_error("synthesis failed");
    fprintf(stderr, "vclone wyoming: %s: %s\n", peer_.c_str(), error.c_str());
    if (audio_started_ && !send("audio-stop")) return false;
    return send_error("synthesis-failed", error);
  }
  if (!audio_started_ && !send("audio-start", audio_format())) return false;
  return send("audio-stop");
}

}  // namespace wyoming
