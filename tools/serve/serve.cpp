#include "serve/serve.h"

#include "common/server_memory.h"
#include "common/stop_signals.h"
#include "serve/warm_up.h"
#include "serve/request_guard.h"
#include "serve/speech_server.h"
#include "serve/voice_store.h"
#include "vclone.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <chrono>
#include <fstream>
#include <thread>

void add_serve_options(CLI::App &serve, ServeOptions &options) {
  serve.add_option("--model", options.model_path, "weight archive")->required();
  serve.add_option("--vocab", options.vocab_path, "vocabulary JSON (a prepared model has its own)");
  serve
      .add_option("--voices", options.voices_dir,
                  "folder of voice files (<id>.vcv), made when missing")
      ->capture_default_str();
  serve.add_option("--host", options.host, "address to listen on")->capture_default_str();
  serve.add_option("--port", options.port, "port to listen on; 0 picks a free one")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  serve.add_option("--precision", options.precision, "decoder weights: f32, bf16 or int8")
      ->capture_default_str()
      ->check(CLI::IsMember({"f32", "bf16", "int8"}));
  serve.add_option("--threads", options.threads, "compute threads; 0 = every core")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  serve.add_option("--lexicon", options.lexicon_path,
                   "pronunciations: language<TAB>word<TAB>replacement lines");
  serve
      .add_option(
          "--api-key-file", options.api_key_file,
          "file whose first line is the key /v1/ requests must send as Authorization: Bearer KEY")
      ->check(CLI::ExistingFile);
  serve.add_flag("--allow-no-key", options.allow_no_key,
                 "listen on an address other machines can reach without --api-key-file");
  serve.add_option("--cors-origin", options.cors_origins,
                   "an origin (https://app.example:8443) whose pages may call the API; repeatable");
  serve
      .add_option("--parallel", options.parallel,
                  "syntheses at once, sharing each decode step (default: the library's, 4)")
      ->check(CLI::Range(0, 64));
  serve
      .add_option("--max-queue", options.max_queue,
                  "requests that may wait behind the ones in progress")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000));
  serve.add_option("--max-body-bytes", options.max_body_bytes, "largest JSON request body")
      ->capture_default_str()
      ->check(CLI::Range(size_t(1024), size_t(1) << 30));
  serve.add_option("--max-upload-bytes", options.max_upload_bytes, "largest voice upload")
      ->capture_default_str()
      ->check(CLI::Range(size_t(1024), size_t(1) << 31));
  serve.add_option("--max-text-chars", options.max_text_chars, "longest \"input\", in characters")
      ->capture_default_str()
      ->check(CLI::Range(size_t(1), size_t(1) << 20));
  serve
      .add_option("--max-connections", options.max_connections,
                  "open connections served; past them a GET /healthz or /metrics that arrives "
                  "within a second is answered, anything else 503")
      ->capture_default_str()
      ->check(CLI::Range(1, 10000));
  serve
      .add_option("--header-timeout", options.header_timeout,
                  "seconds a client has to send a request's headers")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 3600.0));
  serve
      .add_option("--request-timeout", options.request_timeout,
                  "seconds a client has to send a whole request, body included")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 86400.0));
  serve
      .add_option("--write-timeout", options.write_timeout,
                  "seconds one write may wait for a client; a stream read more slowly is dropped")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 3600.0));
  serve
      .add_option("--default-voice", options.default_voice,
                  "voice (an id of the voices folder) that answers the API's built-in names: "
                  "alloy, ash, ...")
      ->check([](const std::string &id) {
        return VoiceStore::is_valid_id(id) ? std::string()
                                           : "a voice id is 1-64 letters, digits, '-' or '_'";
      });
  serve.add_option("--voice-cache", options.voice_cache, "voices kept loaded between requests")
      ->capture_default_str()
      ->check(CLI::Range(size_t(1), size_t(100000)));
}

namespace {

bool read_api_key(const std::string &path, std::string &key) {
  if (path.empty()) return true;
  std::ifstream file(path);
  if (!file || !std::getline(file, key)) return false;
  key.erase(key.find_last_not_of(" \t\r\n") + 1);
  key.erase(0, key.find_first_not_of(" \t"));
  return !key.empty();
}

int precision_of(const std::string &name) {
  if (name == "bf16") return VCLONE_PRECISION_BF16;
  if (name == "int8") return VCLONE_PRECISION_INT8;
  return VCLONE_PRECISION_F32;
}

// Waits for a stop signal and stops the server; a zero byte (written when
// the server ended on its own) only ends the wait.
void watch_signals(SpeechServer &server) {
  const int number = wait_for_stop_signal();
  if (number == 0) return;
  fprintf(stderr, "vclone serve: %s: finishing the requests in progress\n",
          number == SIGTERM ? "SIGTERM" : "SIGINT");
  server.begin_stopping();
  server.http().stop();
}

int bind_port(httplib::Server &http, const ServeOptions &options) {
  if (options.port == 0) return http.bind_to_any_port(options.host);
  return http.bind_to_port(options.host, options.port) ? options.port : -1;
}

}  // namespace

int run_serve(const ServeOptions &options) {
  // Past loopback anyone who can reach the port can spend its CPU and read
  // the voices' speech, unless they must hold the key.
  if (!is_loopback_address(options.host) && options.api_key_file.empty() && !options.allow_no_key) {
    fprintf(stderr,
            "vclone serve: --host %s is reachable from other machines; give --api-key-file KEYFILE "
            "(or --allow-no-key to serve anyone who can reach it)\n",
            options.host.c_str());
    return 2;
  }
  limit_malloc_arenas();
  std::string api_key, error;
  if (!read_api_key(options.api_key_file, api_key)) {
    fprintf(stderr, "vclone serve: %s: no key on its first line\n", options.api_key_file.c_str());
    return 1;
  }
  VoiceStore voices;
  if (!voices.open(options.voices_dir, error)) {
    fprintf(stderr, "vclone serve: %s\n", error.c_str());
    return 1;
  }
  // The default voice may be uploaded after the start; until then the
  // built-in names answer 404.
  if (!options.default_voice.empty() && !voices.exists(options.default_voice))
    fprintf(stderr, "vclone serve: warning: --default-voice %s is not in %s yet\n",
            options.default_voice.c_str(), options.voices_dir.c_str());
  if (!catch_stop_signals()) {
    fprintf(stderr, "vclone serve: cannot make a pipe for signals\n");
    return 1;
  }
  SpeechServer server(options, api_key, voices);
  const int port = bind_port(server.http(), options);
  if (port < 0) {
    fprintf(stderr, "vclone serve: cannot listen on %s:%d\n", options.host.c_str(), options.port);
    return 1;
  }
  // Listening starts before loading, so probes see "loading" rather than
  // a refused connection.
  std::thread listener([&server] { server.http().listen_after_bind(); });
  // stop() does nothing before listening has begun, so the signal watcher
  // starts only once it has.
  while (!server.http().is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread signal_watcher(watch_signals, std::ref(server));
  fprintf(stderr, "vclone serve: listening on http://%s:%d\n", options.host.c_str(), port);

  vclone_load_options load_options = vclone_default_load_options();
  load_options.n_threads = options.threads;
  load_options.precision = precision_of(options.precision);
  if (options.parallel > 0) load_options.max_parallel = options.parallel;
  vclone_model *model = vclone_model_load(
      options.model_path.c_str(), options.vocab_path.empty() ? nullptr : options.vocab_path.c_str(),
      &load_options);
  int status = 0;
  if (model && !options.lexicon_path.empty() &&
      vclone_model_load_lexicon(model, options.lexicon_path.c_str()) != 0) {
    vclone_model_free(model);
    model = nullptr;
  }
  if (model) {
    warm_up(model);
    server.set_model(model);
    fprintf(stderr, "vclone serve: model loaded, ready\n");
  } else {
    fprintf(stderr, "vclone serve: %s\n", vclone_get_last_error());
    server.begin_stopping();
    server.http().stop();
    status = 1;
  }
  listener.join();  // returns once stopped and every request in progress is answered
  wake_stop_signal_waiter();
  signal_watcher.join();
  vclone_model_free(model);
  if (status == 0) fprintf(stderr, "vclone serve: stopped\n");
  return status;
}
