#include "wyoming/wyoming.h"

#include "common/server_memory.h"
#include "common/stop_signals.h"
#include "serve/voice_store.h"
#include "serve/warm_up.h"
#include "vclone.h"
#include "wyoming/wyoming_server.h"

#include <sys/stat.h>

#include <cstdio>
#include <sstream>
#include <thread>

void add_wyoming_options(CLI::App &wyoming, WyomingOptions &options) {
  wyoming.add_option("--model", options.model_path, "weight archive")->required();
  wyoming.add_option("--vocab", options.vocab_path, "vocabulary JSON")->required();
  wyoming
      .add_option("--voices", options.voices_dir,
                  "folder of voice files (<name>.vcv, made by `vclone voice`)")
      ->required()
      ->check(CLI::ExistingDirectory);
  wyoming.add_option("--host", options.host, "address to listen on")->capture_default_str();
  wyoming.add_option("--port", options.port, "port to listen on; 0 picks a free one")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  wyoming.add_flag("--allow-remote", options.allow_remote,
                   "allow a --host beyond this machine (the protocol has no authentication)");
  wyoming.add_option("--default-voice", options.default_voice,
                     "voice for requests that name none [the first voice of the folder]");
  wyoming.add_option("--precision", options.precision, "decoder weights: f32, bf16 or int8")
      ->capture_default_str()
      ->check(CLI::IsMember({"f32", "bf16", "int8"}));
  wyoming.add_option("--threads", options.threads, "compute threads; 0 = every core")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  wyoming
      .add_option("--max-connections", options.max_connections,
                  "connections served at once; more are refused")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  wyoming
      .add_option("--idle-timeout", options.idle_timeout,
                  "seconds within which each event must arrive whole, and a client must read")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 86400.0));
  wyoming
      .add_option("--max-text-chars", options.max_text_chars,
                  "longest text of a synthesize request, in characters")
      ->capture_default_str()
      ->check(CLI::Range(size_t(1), size_t(1) << 20));
  wyoming
      .add_option("--max-codes", options.max_codes,
                  "audio codes per piece of text, 4 .. 606 [602, ~28 s]")
      ->check(CLI::Range(4, 606));
  wyoming
      .add_option("--seed", options.seed,
                  "seed every synthesis with N, so a text always sounds the same")
      ->check(CLI::Validator(
          [](std::string &text) {
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
                text.size() > 19)
              return std::string("a whole number of at most 19 digits");
            return std::string();
          },
          "N"));
}

namespace {

int precision_of(const std::string &name) {
  if (name == "bf16") return VCLONE_PRECISION_BF16;
  if (name == "int8") return VCLONE_PRECISION_INT8;
  return VCLONE_PRECISION_F32;
}

constexpr int kUsageExit = 2;

}  // namespace

int run_wyoming(const WyomingOptions &options) {
  // Everything that can be refused without the model is refused before the
  // 2-10 s load.
  VoiceStore voices;
  std::string error;
  if (!voices.open(options.voices_dir, error)) {
    fprintf(stderr, "vclone wyoming: %s\n", error.c_str());
    return kUsageExit;
  }
  std::string default_voice = options.default_voice;
  if (default_voice.empty()) {
    const std::vector<VoiceEntry> found = voices.list();
    if (found.empty()) {
      fprintf(stderr,
              "vclone wyoming: no voice files (<name>.vcv) in %s; make one with "
              "`vclone voice --ref me.wav --out %s/me.vcv ...`\n",
              options.voices_dir.c_str(), options.voices_dir.c_str());
      return kUsageExit;
    }
    default_voice = found.front().id;
  } else if (!voices.exists(default_voice)) {
    fprintf(stderr, "vclone wyoming: --default-voice %s: no such voice in %s\n",
            default_voice.c_str(), options.voices_dir.c_str());
    return kUsageExit;
  }
  wyoming::SessionContext context;
  context.voices = &voices;
  context.default_voice = default_voice;
  context.max_text_chars = options.max_text_chars;
  context.idle_timeout =
      std::chrono::milliseconds(static_cast<long long>(options.idle_timeout * 1000));
  if (options.max_codes > 0) context.options.max_codes = options.max_codes;
  if (!options.seed.empty()) context.options.seed = std::stoull(options.seed);

  limit_malloc_arenas();  // one thread a connection, as in vclone serve
  if (!catch_stop_signals()) {
    fprintf(stderr, "vclone wyoming: cannot make a pipe for signals\n");
    return 1;
  }
  wyoming::Server server;
  const int port = server.listen(options.host, options.port, options.allow_remote, error);
  if (port < 0) {
    fprintf(stderr, "vclone wyoming: %s\n", error.c_str());
    return error.find("--allow-remote") != std::string::npos ? kUsageExit : 1;
  }
  // Connections made while the model loads wait in the listen queue.
  fprintf(stderr, "vclone wyoming: listening on tcp://%s:%d\n", options.host.c_str(), port);
  std::thread signal_watcher([&server] {
    const int number = wait_for_stop_signal();
    if (number == 0) return;
    fprintf(stderr, "vclone wyoming: %s: finishing the syntheses in progress\n",
            number == SIGTERM ? "SIGTERM" : "SIGINT");
    server.stop();
  });

  vclone_load_options load_options = vclone_default_load_options();
  load_options.n_threads = options.threads;
  load_options.precision = precision_of(options.precision);
  vclone_model *model =
      vclone_model_load(options.model_path.c_str(), options.vocab_path.c_str(), &load_options);
  int status = 0;
  if (model) {
    warm_up(model);
    context.model = model;
    std::istringstream codes(vclone_model_languages(model));
    for (std::string code; codes >> code;) context.languages.push_back(code);
    fprintf(stderr, "vclone wyoming: model loaded, ready (default voice %s)\n",
            default_voice.c_str());
    server.serve(context, options.max_connections);
  } else {
    fprintf(stderr, "vclone wyoming: %s\n", vclone_get_last_error());
    status = 1;
  }
  wake_stop_signal_waiter();
  signal_watcher.join();
  vclone_model_free(model);
  if (status == 0) fprintf(stderr, "vclone wyoming: stopped\n");
  return status;
}
