#include "serve/speech_server.h"

#include "serve/api_error.h"
#include "serve/catalog.h"
#include "serve/page_html.h"
#include "serve/speech_output.h"
#include "serve/speech_request.h"
#include "serve/upload_check.h"
#include "serve/upload_form.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The shared decode steps, from the library: syntheses in the latest step
// (the batch size over time) and a histogram of step times.
std::string batch_metrics(vclone_model *model) {
  vclone_model_activity activity{};
  if (vclone_model_get_activity(model, &activity) != 0) return "";
  std::ostringstream out;
  out << "# HELP vclone_decode_step_rows Syntheses in the latest decode step.\n"
         "# TYPE vclone_decode_step_rows gauge\n"
      << "vclone_decode_step_rows " << activity.step_rows << "\n"
      << "# HELP vclone_decode_step_seconds Time of each decode step shared by the syntheses.\n"
         "# TYPE vclone_decode_step_seconds histogram\n";
  static const char *const bounds[] = {"0.005", "0.01", "0.02", "0.04",
                                       "0.08",  "0.16", "0.32", "+Inf"};
  int64_t cumulative = 0;
  for (int i = 0; i < 8; i++) {
    cumulative += activity.step_time_buckets[i];
    out << "vclone_decode_step_seconds_bucket{le=\"" << bounds[i] << "\"} " << cumulative << "\n";
  }
  out << "vclone_decode_step_seconds_sum " << activity.step_seconds << "\n"
      << "vclone_decode_step_seconds_count " << activity.steps << "\n";
  return out.str();
}

std::string last_error(const char *fallback) {
  const char *message = vclone_get_last_error();
  return message ? message : fallback;
}

// Constant-time comparison, so the key cannot be guessed byte by byte.
bool same_secret(const std::string &given, const std::string &expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < given.size(); i++)
    difference |=
        static_cast<unsigned char>(given[i] ^ expected[i % std::max<size_t>(1, expected.size())]);
  return difference == 0;
}

// The file suffix libsndfile and the MP3 reader expect for an upload's bytes.
const char *audio_suffix(std::string_view bytes) {
  if (bytes.compare(0, 4, "fLaC") == 0) return ".flac";
  if (bytes.compare(0, 4, "OggS") == 0) return ".ogg";
  if (bytes.compare(0, 3, "ID3") == 0 ||
      (bytes.size() > 1 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
       (static_cast<unsigned char>(bytes[1]) & 0xE0) == 0xE0))
    return ".mp3";
  return ".wav";
}

// The upload in a temporary file, removed with this object.
class TemporaryUpload {
 public:
  bool write(std::string_view bytes, std::string &error) {
    const char *folder = std::getenv("TMPDIR");
    const std::string suffix = audio_suffix(bytes);
    std::string pattern =
        std::string(folder && *folder ? folder : "/tmp") + "/vclone-upload-XXXXXX" + suffix;
    const int fd = mkstemps(&pattern[0], static_cast<int>(suffix.size()));
    if (fd < 0) {
      error = "cannot create a temporary file for the upload";
      return false;
    }
    path_ = pattern;
    size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
    ::close(fd);
    if (written != bytes.size()) error = path_ + ": cannot write the upload";
    return written == bytes.size();
  }
  const std::string &path() const { return path_; }
  ~TemporaryUpload() {
    if (!path_.empty()) unlink(path_.c_str());
  }

 private:
  std::string path_;
};

}  // namespace

// A checked request with what its synthesis needs, kept alive by the stream.
struct SpeechJob {
  SpeechRequest request;
  VoicePtr voice;
  std::shared_ptr<SynthesisQueue::Ticket> ticket;
  std::unique_ptr<SpeechOutput> output;  // a streamed response's encoder
};

namespace {

RequestPolicy policy_of(const ServeOptions &options) {
  RequestPolicy policy;
  policy.max_json_bytes = options.max_body_bytes;
  policy.max_upload_bytes = options.max_upload_bytes;
  policy.loopback_only = is_loopback_address(options.host);
  policy.cors_origins = options.cors_origins;
  return policy;
}

ConnectionLimits limits_of(const ServeOptions &options) {
  ConnectionLimits limits;
  limits.max_connections = options.max_connections;
  limits.header_seconds = options.header_timeout;
  limits.request_seconds = options.request_timeout;
  limits.idle_seconds = std::min(options.header_timeout, options.request_timeout);
  limits.write_seconds = options.write_timeout;
  return limits;
}

bool is_probe(const httplib::Request &request) {
  return request.method == "GET" && (request.path == "/healthz" || request.path == "/metrics");
}

// httplib splits a multipart body itself, into copies, whatever the handler
// asks for; the upload route reads the raw bytes and splits them in place
// with parse_form, so the type reaches it under this name instead.
const char *const kFormTypeHeader = "X-Vclone-Form-Type";

}  // namespace

SpeechServer::SpeechServer(const ServeOptions &options, std::string api_key, VoiceStore &voices)
    : options_(options),
      api_key_(std::move(api_key)),
      voices_(voices),
      policy_(policy_of(options)),
      voice_cache_(voices, options.voice_cache),
      http_(limits_of(options)),
      queue_(options.max_queue,
             options.parallel > 0 ? options.parallel : vclone_default_load_options().max_parallel),
      memory_returner_([this] { return queue_.holders() == 0; }) {
  http_.set_payload_max_length(std::max(options.max_body_bytes, options.max_upload_bytes));
  queue_.on_idle([this] { memory_returner_.work_ended(); });
  add_hooks();
  add_routes();
}

void SpeechServer::set_model(vclone_model *model) {
  std::istringstream codes(vclone_model_languages(model));
  for (std::string code; codes >> code;) languages_.push_back(code);
  model_ = model;
}

void SpeechServer::begin_stopping() {
  std::unique_lock<std::mutex> lock(starting_mutex_);
  stopping_ = true;
  starting_changed_.wait_for(lock, std::chrono::seconds(5),
                             [this] { return streams_starting_ == 0; });
}

bool SpeechServer::enter_starting() {
  std::lock_guard<std::mutex> lock(starting_mutex_);
  if (stopping_) return false;
  streams_starting_++;
  return true;
}

void SpeechServer::leave_starting() {
  {
    std::lock_guard<std::mutex> lock(starting_mutex_);
    streams_starting_--;
  }
  starting_changed_.notify_all();
}

void SpeechServer::send_error(httplib::Response &response, const ApiError &error) const {
  response.status = error.status;
  response.set_content(error.body(), "application/json");
}

void SpeechServer::refuse(httplib::Response &response, const ApiError &error) const {
  send_error(response, error);
  response.set_header("Connection", "close");
  GuardedServer::close_after_response();
}

bool SpeechServer::refuse_by_head(const httplib::Request &request,
                                  httplib::Response &response) const {
  if (GuardedServer::probe_only() && !is_probe(request)) {
    response.set_header("Retry-After", "1");
    refuse(response, api_error(503, "server_busy", "too many connections; retry later"));
    return true;
  }
  if (ApiError e = check_request_head(policy_, request)) {
    refuse(response, e);
    return true;
  }
  return false;
}

void SpeechServer::add_hooks() {
  // A client that waits for "100 Continue" before sending its body learns
  // of a refusal without sending it.
  http_.set_expect_100_continue_handler(
      [this](const httplib::Request &request, httplib::Response &response) {
        return refuse_by_head(request, response) ? response.status : 100;
      });
  http_.set_pre_routing_handler(
      [this](const httplib::Request &request, httplib::Response &response) {
        // Named origins get the CORS headers on refusals too, so their pages can read why.
        const bool preflight = apply_cors(policy_, request, response);
        if (refuse_by_head(request, response) || preflight)
          return httplib::Server::HandlerResponse::Handled;
        size_t limit = body_limit(policy_, request.method, request.path);
        if (request.has_header("Transfer-Encoding"))
          limit += limit / 8 + 4096;  // the chunks' framing
        GuardedServer::begin_body(limit);
        if (request.is_multipart_form_data() && request.path == "/v1/voices") {
          auto &headers = const_cast<httplib::Headers &>(request.headers);
          const std::string type = request.get_header_value("Content-Type");
          headers.erase("Content-Type");
          headers.erase(kFormTypeHeader);
          headers.emplace(kFormTypeHeader, type);
        }
        if (api_key_.empty() || request.path.compare(0, 4, "/v1/") != 0)
          return httplib::Server::HandlerResponse::Unhandled;
        const std::string header = request.get_header_value("Authorization");
        if (header.compare(0, 7, "Bearer ") == 0 && same_secret(header.substr(7), api_key_))
          return httplib::Server::HandlerResponse::Unhandled;
        response.set_header("WWW-Authenticate", "Bearer");
        send_error(response, api_error(401, "authentication_error",
                                       "a valid API key is required: Authorization: Bearer KEY"));
        return httplib::Server::HandlerResponse::Handled;
      });
  // Statuses httplib sets itself (no route, body over the limit) get the
  // same JSON shape as the handlers' errors.
  http_.set_error_handler([this](const httplib::Request &request, httplib::Response &response) {
    if (!response.body.empty()) return;
    if (GuardedServer::body_over_limit())
      send_error(response,
                 api_error(413, "request_too_large",
                           "the request body is larger than " +
                               std::to_string(body_limit(policy_, request.method, request.path)) +
                               " bytes"));
    else if (response.status == 404)
      send_error(response, api_error(404, "not_found_error",
                                     "no route for " + request.method + " " + request.path));
    else if (response.status == 413)
      // httplib also refuses form-encoded bodies over 8 KiB, which is what
      // `curl --data-binary` sends unless told the content type.
      send_error(response,
                 api_error(413, "request_too_large",
                           request.path == "/v1/voices"
                               ? "the upload is too large (send it as Content-Type: audio/wav, "
                                 "audio/flac or audio/mpeg, or as multipart/form-data)"
                               : "the request body is too large"));
    else
      send_error(response,
                 api_error(response.status, "invalid_request_error", "the request was refused"));
  });
  http_.set_exception_handler(
      [this](const httplib::Request &, httplib::Response &response, std::exception_ptr failure) {
        std::string what = "internal error";
        try {
          if (failure) std::rethrow_exception(failure);
        } catch (const std::exception &e) {
          what = e.what();
        } catch (...) {
        }
        send_error(response, api_error(500, "server_error", what));
      });
  http_.set_logger([this](const httplib::Request &request, const httplib::Response &response) {
    metrics_.count_request(endpoint_label(request.method, request.path), response.status);
  });
}

void SpeechServer::add_routes() {
  http_.Get("/", [](const httplib::Request &, httplib::Response &response) {
    response.set_content(kPageHtml, "text/html; charset=utf-8");
  });
  http_.Get("/healthz", [this](const httplib::Request &, httplib::Response &response) {
    const char *state = stopping_ ? "stopping" : model_ ? "ok" : "loading";
    response.status = model_ && !stopping_ ? 200 : 503;
    response.set_content(json({{"status", state}}).dump(), "application/json");
  });
  http_.Get("/metrics", [this](const httplib::Request &, httplib::Response &response) {
    const int active = std::min(queue_.holders(), queue_.parallel());
    std::string text = metrics_.render(queue_.waiting(), active, model_ != nullptr);
    if (model_) text += batch_metrics(model_);
    text += "# TYPE vclone_connections_open gauge\nvclone_connections_open " +
            std::to_string(http_.open_connections()) +
            "\n# TYPE vclone_connections_refused_total counter\nvclone_connections_refused_total " +
            std::to_string(http_.refused_connections()) +
            "\n# TYPE vclone_connections_dropped_total counter\nvclone_connections_dropped_total " +
            std::to_string(http_.dropped_connections()) + "\n";
    response.set_content(text, "text/plain; version=0.0.4");
  });
  http_.Get("/v1/languages", [this](const httplib::Request &, httplib::Response &response) {
    if (!model_)
      return send_error(response, api_error(503, "server_busy", "the model is still loading"));
    response.set_content(json({{"languages", languages_}}).dump(), "application/json");
  });
  http_.Post("/v1/audio/speech", [this](const httplib::Request &request,
                                        httplib::Response &response) { speak(request, response); });
  http_.Get("/v1/voices", [this](const httplib::Request &, httplib::Response &response) {
    list_voices(response);
  });
  http_.Get("/v1/audio/voices", [this](const httplib::Request &, httplib::Response &response) {
    response.set_content(audio_voices_json(voices_.list(), languages_, options_.default_voice),
                         "application/json");
  });
  http_.Get("/v1/models", [this](const httplib::Request &, httplib::Response &response) {
    response.set_content(models_json(options_.precision, model_created()), "application/json");
  });
  http_.Get(R"(/v1/models/([^/]+))",
            [this](const httplib::Request &request, httplib::Response &response) {
              const std::string id = request.matches[1];
              if (id != served_model_id(options_.precision))
                return send_error(
                    response, with_code(api_error(404, "not_found_error",
                                                  "no model \"" + id + "\" (see GET /v1/models)"),
                                        "model_not_found"));
              json models = json::parse(models_json(options_.precision, model_created()));
              response.set_content(models["data"][0].dump(), "application/json");
            });
  http_.Post("/v1/voices", [this](const httplib::Request &request, httplib::Response &response,
                                  const httplib::ContentReader &read_body) {
    add_voice(request, response, read_body);
  });
  http_.Delete(R"(/v1/voices/([^/]+))",
               [this](const httplib::Request &request, httplib::Response &response) {
                 delete_voice(request.matches[1], response);
               });
}

std::unique_ptr<SynthesisQueue::Ticket> SpeechServer::admit(httplib::Response &response) {
  if (stopping_) {
    send_error(response, api_error(503, "server_busy", "the server is shutting down"));
    return nullptr;
  }
  if (!model_) {
    response.set_header("Retry-After", "5");
    send_error(response, api_error(503, "server_busy", "the model is still loading"));
    return nullptr;
  }
  std::unique_ptr<SynthesisQueue::Ticket> ticket = queue_.try_enter();
  if (!ticket) {
    // The wait a client would have now: every holder's synthesis at the
    // recent pace, at least a second.
    const double estimate = metrics_.recent_synthesis_seconds() * std::max(1, queue_.holders());
    response.set_header("Retry-After",
                        std::to_string(std::max(1, static_cast<int>(std::ceil(estimate)))));
    send_error(response, api_error(503, "server_busy",
                                   "the queue is full (" + std::to_string(options_.max_queue) +
                                       " waiting); retry later"));
  }
  return ticket;
}

void SpeechServer::speak(const httplib::Request &http_request, httplib::Response &response) {
  if (!model_) return (void)admit(response);  // answers 503: still loading
  SpeechJob job;
  const SpeechLimits limits{options_.max_body_bytes, options_.max_text_chars, languages_,
                            vclone_default_options()};
  if (ApiError e = parse_speech_request(http_request.body, limits, job.request))
    return send_error(response, e);
  std::string id, error;
  if (ApiError e = resolve_voice(job.request.voice, id)) return send_error(response, e);
  VoiceCache::Lookup how = VoiceCache::Lookup::kLoaded;
  job.voice = voice_cache_.get(id, how, error);
  if (!job.voice) return send_error(response, api_error(500, "server_error", error));
  metrics_.count_voice_lookup(lookup_label(how));
  const bool streamed = job.request.stream || job.request.sse;
  if (streamed) {
    job.output =
        SpeechOutput::create(job.request.format, job.request.sse, vclone_sample_rate(), error);
    if (!job.output) return send_error(response, api_error(500, "server_error", error));
  }
  if (streamed && !enter_starting())
    return send_error(response, api_error(503, "server_busy", "the server is shutting down"));
  job.ticket = admit(response);
  if (streamed) {
    if (!job.ticket) return leave_starting();
    return speak_stream(std::move(job), response);
  }
  if (!job.ticket) return;

  job.ticket->wait_turn();
  const auto start = Clock::now();
  int32_t n_samples = 0;
  float *samples = vclone_speak(model_, job.request.input.c_str(), job.request.language.c_str(),
                                job.voice.get(), &job.request.options, &n_samples);
  const double seconds = seconds_since(start);
  job.ticket.reset();
  if (!samples) {
    metrics_.count_synthesis(Metrics::Outcome::kFailed, seconds, 0);
    return send_error(response, api_error(500, "server_error", last_error("synthesis failed")));
  }
  metrics_.count_synthesis(Metrics::Outcome::kCompleted, seconds,
                           static_cast<double>(n_samples) / vclone_sample_rate());
  std::string bytes = encode_whole(job.request.format, samples, static_cast<size_t>(n_samples),
                                   vclone_sample_rate(), error);
  free(samples);
  if (!error.empty()) return send_error(response, api_error(500, "server_error", error));
  response.set_content(std::move(bytes), audio_format_mime(job.request.format));
  response.set_header("X-Sample-Rate", std::to_string(vclone_sample_rate()));
}

namespace {

// What the audio callback of one streamed request needs.
struct StreamState {
  httplib::DataSink *sink;
  SpeechOutput *output;
  Clock::time_point start;
  Metrics *metrics;
  bool encoder_failed = false;
};

int send_audio(const float *samples, int n_samples, void *user_data) {
  auto *state = static_cast<StreamState *>(user_data);
  if (state->output->samples() == 0)
    state->metrics->observe_first_audio(seconds_since(state->start));
  // Headers (a WAV header, Ogg's first pages) leave with the first audio, so
  // the first bytes a client sees mark the first audio.
  std::string bytes;
  if (!state->output->audio(samples, static_cast<size_t>(n_samples), bytes)) {
    state->encoder_failed = true;
    return 1;
  }
  // A failed write means the client is gone: stop decoding for it.
  return bytes.empty() || state->sink->write(bytes.data(), bytes.size()) ? 0 : 1;
}

}  // namespace

// Leaves the starting count once, whichever comes first: leave() or the end
// of the last copy of the provider.
struct SpeechServer::StartMark {
  explicit StartMark(SpeechServer &owner) : server(owner) {}
  ~StartMark() { leave(); }
  void leave() {
    if (!left.exchange(true)) server.leave_starting();
  }
  SpeechServer &server;
  std::atomic<bool> left{false};
};

void SpeechServer::speak_stream(SpeechJob accepted, httplib::Response &response) {
  auto shared_job = std::make_shared<SpeechJob>(std::move(accepted));
  // Marks the stream as begun when the provider first runs, or when httplib
  // drops the provider unrun (the client left before the headers went out).
  auto starting = std::make_shared<StartMark>(*this);
  response.set_header("X-Sample-Rate", std::to_string(vclone_sample_rate()));
  if (shared_job->request.sse) response.set_header("Cache-Control", "no-cache");
  // The request waits for its turn inside the provider: httplib calls it
  // right after the handler returns, and skips it once the server stops,
  // so a request that waited in the handler could lose its audio at SIGTERM.
  response.set_chunked_content_provider(
      shared_job->output->content_type(),
      [this, shared_job, starting](size_t, httplib::DataSink &sink) mutable {
        starting->leave();
        SpeechJob &job = *shared_job;
        job.ticket->wait_turn();
        StreamState state{&sink, job.output.get(), Clock::now(), &metrics_};
        int status =
            vclone_speak_stream(model_, job.request.input.c_str(), job.request.language.c_str(),
                                job.voice.get(), &job.request.options, send_audio, &state);
        const double seconds = seconds_since(state.start);
        job.ticket.reset();
        std::string failure;
        if (status == -1) failure = last_error("synthesis failed");
        if (state.encoder_failed) {
          failure = job.output->error();
          status = -1;
        }
        const Metrics::Outcome outcome = status == 0   ? Metrics::Outcome::kCompleted
                                         : status == 1 ? Metrics::Outcome::kCancelled
                                                       : Metrics::Outcome::kFailed;
        metrics_.count_synthesis(outcome, seconds,
                                 static_cast<double>(job.output->samples()) / vclone_sample_rate());
        std::string bytes;
        if (status == 0 && !job.output->finish(bytes, utf8_length(job.request.input))) {
          failure = job.output->error();
          status = -1;
        }
        if (status == -1) {
          fprintf(stderr, "vclone serve: streamed synthesis failed: %s\n", failure.c_str());
          // Events can say so; a raw stream is cut short, without its last chunk.
          bytes = job.output->error_event(api_error(500, "server_error", failure));
          if (bytes.empty()) return false;
        }
        if (status == 1) return false;  // the client is gone
        if (!sink.write(bytes.data(), bytes.size())) return false;
        sink.done();
        return true;
      });
}

void SpeechServer::list_voices(httplib::Response &response) const {
  json data = json::array();
  for (const VoiceEntry &voice : voices_.list())
    data.push_back({{"id", voice.id}, {"object", "voice"}, {"created", voice.created}});
  response.set_content(json({{"object", "list"}, {"data", data}}).dump(), "application/json");
}

void SpeechServer::add_voice(const httplib::Request &request, httplib::Response &response,
                             const httplib::ContentReader &read_body) {
  const size_t limit = options_.max_upload_bytes;
  std::string body;
  const std::string declared = request.get_header_value("Content-Length");
  if (!declared.empty())
    body.reserve(std::min<size_t>(std::strtoull(declared.c_str(), nullptr, 10), limit));
  const bool read = read_body([&](const char *data, size_t size) {
    body.append(data, std::min(size, limit + 1 - std::min(body.size(), limit + 1)));
    return body.size() <= limit;
  });
  if (!read || body.size() > limit) {
    if (body.size() > limit || GuardedServer::body_over_limit())
      return refuse(response,
                    api_error(413, "request_too_large",
                              "the upload is larger than " + std::to_string(limit) + " bytes"));
    return refuse(response,
                  api_error(400, "invalid_request_error", "the upload ended before its length"));
  }
  if (!model_) return (void)admit(response);  // answers 503: still loading
  std::string_view audio = body;
  std::string id = request.get_param_value("name");
  if (request.has_header(kFormTypeHeader)) {
    std::vector<FormPart> parts;
    std::string error;
    if (!parse_form(body, form_boundary(request.get_header_value(kFormTypeHeader)), parts, error))
      return send_error(response, bad_field("file", "is not a usable form: " + error));
    audio = {};
    for (const FormPart &part : parts) {
      if (part.name == "name" && part.filename.empty())
        id = std::string(part.content);
      else if (audio.empty() && (part.name == "file" || !part.filename.empty()))
        audio = part.content;
    }
  }
  if (audio.empty())
    return send_error(response, bad_field("file", "is missing: send a WAV, FLAC or MP3 recording"));
  if (ApiError e = check_upload_claims(audio, UploadBounds{})) return send_error(response, e);
  if (id.empty()) id = random_voice_id();
  if (!VoiceStore::is_valid_id(id))
    return send_error(
        response,
        bad_field("name",
                  "must be 1-64 letters, digits, '-' or '_', starting with a letter or digit"));
  if (voices_.exists(id)) {
    ApiError e{409, "voice \"" + id + "\" exists; delete it first or pick another name",
               "conflict_error", "name"};
    return send_error(response, e);
  }
  TemporaryUpload upload;
  std::string error;
  if (!upload.write(audio, error))
    return send_error(response, api_error(500, "server_error", error));

  std::unique_ptr<SynthesisQueue::Ticket> ticket = admit(response);
  if (!ticket) return;
  ticket->wait_turn();
  const auto start = Clock::now();
  VoicePtr voice(vclone_voice_from_wav(model_, upload.path().c_str()), VoiceDeleter());
  ticket.reset();
  metrics_.count_synthesis(voice ? Metrics::Outcome::kCompleted : Metrics::Outcome::kFailed,
                           seconds_since(start), 0);
  if (!voice)
    return send_error(response,
                      bad_field("file", "is not a usable recording: " + last_error("unreadable")));

  const int saved = voices_.save_new(id, voice.get(), error);
  if (saved == 1) {
    ApiError e{409, "voice \"" + id + "\" exists; delete it first or pick another name",
               "conflict_error", "name"};
    return send_error(response, e);
  }
  if (saved != 0) return send_error(response, api_error(500, "server_error", error));
  response.status = 201;
  response.set_content(json({{"id", id}, {"object", "voice"}}).dump(), "application/json");
}

void SpeechServer::delete_voice(const std::string &id, httplib::Response &response) {
  if (!VoiceStore::is_valid_id(id))
    return send_error(response, bad_field("id", "must be 1-64 letters, digits, '-' or '_'"));
  voice_cache_.forget(id);
  if (!voices_.remove(id)) {
    ApiError e{404, "no voice \"" + id + "\"", "not_found_error", "id"};
    return send_error(response, e);
  }
  response.set_content(json({{"id", id}, {"object", "voice"}, {"deleted", true}}).dump(),
                       "application/json");
}

ApiError SpeechServer::resolve_voice(const std::string &name, std::string &id) const {
  id = name;
  // A voice saved under a built-in name is that voice; the others stand for
  // the default voice when there is one.
  if (is_builtin_voice_name(name) && !voices_.exists(name)) {
    if (options_.default_voice.empty())
      return ApiError(404,
                      "\"" + name +
                          "\" is one of the API's built-in voice names; this server speaks in the "
                          "voices of its folder (see GET /v1/voices). Start it with "
                          "--default-voice ID to answer "
                          "the built-in names with one of them.",
                      "not_found_error", "voice", "voice_not_found");
    id = options_.default_voice;
  }
  if (!VoiceStore::is_valid_id(id) || !voices_.exists(id))
    return ApiError(404, "no voice \"" + id + "\" (see GET /v1/voices)", "not_found_error", "voice",
                    "voice_not_found");
  return {};
}

long long SpeechServer::model_created() const {
  struct stat info;
  return stat(options_.model_path.c_str(), &info) == 0 ? static_cast<long long>(info.st_mtime) : 0;
}
