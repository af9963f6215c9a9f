// vclone: the command-line program, built on the public header alone.
//
// Everything that can be refused without the model (numbers, files, folders,
// the language, the text) is checked before the 2-10 s load, so a typo costs
// nothing. Usage errors exit with 2, failures after the checks with 1.
#include "vclone.h"

#include "common/audio_encoder.h"
#include "util/blank_text.h"
#include "serve/serve.h"
#include "wyoming/wyoming.h"

#include <CLI/CLI.hpp>

#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A refusal of the arguments: printed as "vclone: <message>", exit code 2.
struct UsageError {
  std::string message;
};

constexpr int kUsageExit = 2;
constexpr int kFailureExit = 1;

void fail_usage(const std::string &message) { throw UsageError{message}; }

// ---- Numbers --------------------------------------------------------------

// A whole number written in plain digits: no sign, no spaces, no fraction.
bool parse_digits(const std::string &text, unsigned long long &value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0;
}

int32_t whole_in_range(const std::string &option, const std::string &text, long long low,
                       long long high) {
  unsigned long long value = 0;
  if (!parse_digits(text, value) || value < static_cast<unsigned long long>(low) ||
      value > static_cast<unsigned long long>(high))
    fail_usage(option + " takes a whole number from " + std::to_string(low) + " to " +
               std::to_string(high) + ", not '" + text + "'");
  return static_cast<int32_t>(value);
}

// A finite real number within [low, high], or (low, high] when low_open.
float real_in_range(const std::string &option, const std::string &text, double low, double high,
                    bool low_open) {
  char *end = nullptr;
  errno = 0;
  const double value = text.empty() ? NAN : std::strtod(text.c_str(), &end);
  const bool parsed = !text.empty() && end && *end == '\0' && errno == 0 && std::isfinite(value);
  const bool inside = parsed && (low_open ? value > low : value >= low) && value <= high;
  if (!inside) {
    std::ostringstream range;
    range << (low_open ? "(" : "[") << low << ", " << high << "]";
    fail_usage(option + " takes a number in " + range.str() + ", not '" + text + "'");
  }
  return static_cast<float>(value);
}

uint64_t parse_seed(const std::string &text) {
  unsigned long long value = 0;
  if (!parse_digits(text, value) || value == VCLONE_NO_SEED)
    fail_usage("--seed takes a whole number from 0 to " + std::to_string(VCLONE_NO_SEED - 1) +
               ", not '" + text + "'");
  return value;
}

// The cores this process may run on, which is what libtorch's threads get.
int usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
}

int32_t parse_threads(const std::string &text) {
  return text.empty() ? 0 : whole_in_range("--threads", text, 0, usable_cores());
}

int32_t parse_precision(const std::string &name) {
  if (name == "f32") return VCLONE_PRECISION_F32;
  if (name == "bf16") return VCLONE_PRECISION_BF16;
  if (name == "int8") return VCLONE_PRECISION_INT8;
  fail_usage("--precision takes f32, bf16 or int8, not '" + name + "'");
  return VCLONE_PRECISION_F32;
}

// ---- Files ----------------------------------------------------------------

void require_readable(const std::string &option, const std::string &path) {
  FILE *file = std::fopen(path.c_str(), "rb");
  if (!file) fail_usage(option + " " + path + ": " + std::strerror(errno));
  std::fclose(file);
}

std::string folder_of(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void require_writable_folder(const std::string &option, const std::string &path) {
  struct stat status;
  if (path.empty() || path.back() == '/' ||
      (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)))
    fail_usage(option + " needs a file name, not the folder '" + path + "'");
  const std::string folder = folder_of(path);
  if (stat(folder.c_str(), &status) == 0 && !S_ISDIR(status.st_mode))
    fail_usage(option + " " + path + ": " + folder + " is not a folder");
  if (access(folder.c_str(), W_OK) != 0)
    fail_usage(option + " " + path + ": cannot write in " + folder + ": " + std::strerror(errno));
}

bool write_all(FILE *file, const std::string &bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

// ---- Library output -------------------------------------------------------

bool g_quiet = false;

// Library lines go to standard error, never to standard output (which may
// carry the WAV stream). Error lines are left out: the program reports each
// failure once, from vclone_get_last_error. Quiet keeps only warnings.
void log_to_stderr(int32_t level, const char *line, void *) {
  if (level == VCLONE_LOG_ERROR) return;
  if (g_quiet && level < VCLONE_LOG_WARN) return;
  std::fprintf(stderr, "%s\n", line);
}

void say_note(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say_note(const char *format, ...) {
  if (g_quiet) return;
  va_list args;
  va_start(args, format);
  std::fputs("vclone: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

int report_failure(const char *what) {
  const char *message = vclone_get_last_error();
  std::fprintf(stderr, "vclone: %s: %s\n", what, message ? message : "unknown error");
  return kFailureExit;
}

// ---- Model and voice ------------------------------------------------------

struct ModelArgs {
  std::string model_path;
  std::string vocab_path;
  std::string threads;
  std::string precision = "f32";
};

void add_model_options(CLI::App &command, ModelArgs &args) {
  command.add_option("--model", args.model_path, "weight archive or prepared model")->required();
  command.add_option("--vocab", args.vocab_path, "vocabulary JSON (a prepared model has its own)");
  command.add_option("--threads", args.threads,
                     "compute threads, 1 .. the cores this process may use; 0 (all, the default)");
  command.add_option("--precision", args.precision, "decoder weights: f32 (default), bf16 or int8");
  command.add_flag("--quiet", g_quiet, "print only warnings and errors");
}

vclone_load_options checked_load_options(const ModelArgs &args) {
  vclone_load_options options = vclone_default_load_options();
  options.n_threads = parse_threads(args.threads);
  options.precision = parse_precision(args.precision);
  require_readable("--model", args.model_path);
  return options;
}

struct ModelHandle {
  vclone_model *model = nullptr;
  ~ModelHandle() { vclone_model_free(model); }
};

struct VoiceHandle {
  vclone_voice *voice = nullptr;
  ~VoiceHandle() { vclone_voice_free(voice); }
};

// A prepared model embeds its vocabulary, so --vocab may be left out.
std::string vocabulary_of(const ModelArgs &args) {
  return args.vocab_path.empty() ? args.model_path : args.vocab_path;
}

bool load_model(const ModelArgs &args, const vclone_load_options &options, ModelHandle &handle) {
  handle.model =
      vclone_model_load(args.model_path.c_str(),
                        args.vocab_path.empty() ? nullptr : args.vocab_path.c_str(), &options);
  return handle.model != nullptr;
}

// ---- languages ------------------------------------------------------------

std::vector<std::string> vocabulary_languages(const std::string &vocab_path) {
  char *joined = vclone_vocab_languages(vocab_path.c_str());
  if (!joined) {
    const char *message = vclone_get_last_error();
    fail_usage("--vocab " + vocab_path + ": " + (message ? message : "cannot read it"));
  }
  std::vector<std::string> codes;
  std::istringstream words(joined);
  for (std::string code; words >> code;) codes.push_back(code);
  std::free(joined);
  return codes;
}

int run_languages(const std::string &vocab_path) {
  for (const std::string &code : vocabulary_languages(vocab_path))
    std::printf("%s\n", code.c_str());
  return 0;
}

// ---- normalize ------------------------------------------------------------

int run_normalize(const std::string &language, const std::string &given, bool text_given) {
  std::string text = given;
  if (!text_given || text == "-")
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  char *spoken = vclone_normalize_text(text.c_str(), language.c_str());
  if (!spoken) {
    std::fprintf(stderr, "vclone: %s\n", vclone_get_last_error());
    return kUsageExit;
  }
  std::fputs(spoken, stdout);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
  std::free(spoken);
  return 0;
}

// ---- inspect --------------------------------------------------------------

int run_inspect(const std::string &path, bool list) {
  require_readable("ARCHIVE", path);
  void *manifest = manifest_open(path.c_str());
  if (!manifest) return report_failure(("cannot read the manifest of " + path).c_str());
  const int count = manifest_count(manifest);
  std::printf("%s: %d tensors\n", path.c_str(), count);
  for (int32_t index = 0; list && index < count; index++) {
    const char *name = nullptr;
    int64_t dims[8];
    const int32_t rank = vclone_manifest_tensor(manifest, index, &name, dims, 8);
    std::string shape;
    for (int32_t d = 0; d < rank && d < 8; d++) shape += (d ? ", " : "") + std::to_string(dims[d]);
    if (rank > 8) shape += ", ...";
    std::printf("%s [%s]\n", name ? name : "?", shape.c_str());
  }
  manifest_close(manifest);
  return 0;
}

// ---- prepare --------------------------------------------------------------

struct PrepareArgs {
  std::string model_path;
  std::string vocab_path;
  std::string precision = "f32";
  std::string out_path;
  std::string verify_path;
};

void add_prepare_options(CLI::App &command, PrepareArgs &args) {
  command.add_option("--model", args.model_path, "weight archive");
  command.add_option("--vocab", args.vocab_path, "vocabulary JSON");
  command.add_option("--precision", args.precision, "decoder weights: f32 (default), bf16 or int8");
  command.add_option("--out", args.out_path, "prepared model to write");
  command.add_option("--verify", args.verify_path,
                     "read every byte of a prepared model and check it");
  command.add_flag("--quiet", g_quiet, "print only warnings and errors");
}

int run_prepare(const PrepareArgs &args) {
  if (!args.verify_path.empty()) {
    if (!args.model_path.empty() || !args.out_path.empty())
      fail_usage("--verify takes no --model or --out");
    require_readable("--verify", args.verify_path);
    if (vclone_model_verify(args.verify_path.c_str()) != 0)
      return report_failure("verification failed");
    std::printf("%s: sound\n", args.verify_path.c_str());
    return 0;
  }
  if (args.model_path.empty() || args.vocab_path.empty() || args.out_path.empty())
    fail_usage("prepare needs --model, --vocab and --out (or --verify FILE)");
  const int32_t precision = parse_precision(args.precision);
  require_readable("--model", args.model_path);
  require_readable("--vocab", args.vocab_path);
  require_writable_folder("--out", args.out_path);
  if (vclone_model_prepare(args.model_path.c_str(), args.vocab_path.c_str(), precision,
                           args.out_path.c_str()) != 0)
    return report_failure("cannot prepare the model");
  return 0;
}

// ---- voice ----------------------------------------------------------------

struct VoiceArgs {
  ModelArgs model;
  std::string ref_path;
  std::string out_path;
};

int run_voice(const VoiceArgs &args) {
  const vclone_load_options load_options = checked_load_options(args.model);
  require_readable("--ref", args.ref_path);
  require_writable_folder("--out", args.out_path);
  vocabulary_languages(vocabulary_of(args.model));  // a broken vocabulary fails before the load

  ModelHandle model;
  if (!load_model(args.model, load_options, model)) return report_failure("cannot load the model");
  VoiceHandle voice;
  voice.voice = vclone_voice_from_wav(model.model, args.ref_path.c_str());
  if (!voice.voice) return report_failure(("cannot make a voice from " + args.ref_path).c_str());
  if (vclone_voice_save(voice.voice, args.out_path.c_str()) != 0)
    return report_failure(("cannot save the voice to " + args.out_path).c_str());
  say_note("wrote the voice of %s to %s", args.ref_path.c_str(), args.out_path.c_str());
  return 0;
}

// ---- say ------------------------------------------------------------------

struct SayArgs {
  ModelArgs model;
  std::string ref_path;
  std::string voice_path;
  std::string out_path;
  std::string language = "en";
  std::string format;
  std::string text;
  bool text_given = false;
  bool no_split = false;
  bool no_normalize = false;
  bool ssml = false;
  std::string lexicon_path;
  std::string temperature, top_k, top_p, repetition_penalty, seed, speed, max_codes, pause;
};

void add_say_options(CLI::App &say, SayArgs &args) {
  add_model_options(say, args.model);
  auto *ref = say.add_option("--ref", args.ref_path, "reference recording (WAV) of the voice");
  auto *voice = say.add_option("--voice", args.voice_path, "voice file made by `vclone voice`");
  ref->excludes(voice);
  say.add_option("--out", args.out_path,
                 "output file, its format from its extension (.wav .mp3 .opus .flac .aac .pcm), "
                 "or - to stream to standard output")
      ->required();
  say.add_option("--format", args.format,
                 "wav, pcm, mp3, opus, flac or aac (default: --out's extension; wav)");
  say.add_option("--language", args.language, "language code (see `vclone languages`); en");
  say.add_option("--temperature", args.temperature, "sampling temperature, (0, 10]; 0.75");
  say.add_option("--top-k", args.top_k, "keep the k likeliest codes, 0 (off) .. 1026; 50");
  say.add_option("--top-p", args.top_p, "keep codes up to this probability mass, (0, 1]; 0.85");
  say.add_option("--repetition-penalty", args.repetition_penalty,
                 "penalty on codes already made, [1, 100]; 5.0");
  say.add_option("--seed", args.seed, "repeatable sampling: a whole number (default: random)");
  say.add_option("--speed", args.speed, "speaking rate, [0.25, 4]; 1.0 is natural");
  say.add_option("--max-codes", args.max_codes, "audio codes per piece, 4 .. 606; 602 (~28 s)");
  say.add_option("--pause", args.pause, "seconds of silence between pieces, [0, 10]; 0.2");
  say.add_flag("--no-split", args.no_split, "speak the text as one piece (at most ~400 tokens)");
  say.add_flag("--no-normalize", args.no_normalize,
               "speak numbers, dates and symbols as given (see `vclone normalize`)");
  say.add_flag("--ssml", args.ssml, "the text is an SSML <speak> document");
  say.add_option("--lexicon", args.lexicon_path,
                 "pronunciations: language<TAB>word<TAB>replacement lines");
  say.add_option("TEXT", args.text, "text to speak; standard input when absent or -");
}

vclone_options checked_options(const SayArgs &args) {
  vclone_options options = vclone_default_options();
  if (!args.temperature.empty())
    options.temperature = real_in_range("--temperature", args.temperature, 0, 10, true);
  if (!args.top_k.empty()) options.top_k = whole_in_range("--top-k", args.top_k, 0, 1026);
  if (!args.top_p.empty()) options.top_p = real_in_range("--top-p", args.top_p, 0, 1, true);
  if (!args.repetition_penalty.empty())
    options.repetition_penalty =
        real_in_range("--repetition-penalty", args.repetition_penalty, 1, 100, false);
  if (!args.seed.empty()) options.seed = parse_seed(args.seed);
  if (!args.speed.empty()) options.speed = real_in_range("--speed", args.speed, 0.25, 4, false);
  if (!args.max_codes.empty())
    options.max_codes = whole_in_range("--max-codes", args.max_codes, 4, 606);
  if (!args.pause.empty())
    options.pause_seconds = real_in_range("--pause", args.pause, 0, 10, false);
  options.split_text = args.no_split ? 0 : 1;
  options.normalize = args.no_normalize ? 0 : 1;
  options.ssml = args.ssml ? 1 : 0;
  return options;
}

// The text argument, or all of standard input (a long text is spoken whole).
std::string text_to_speak(const SayArgs &args) {
  if (args.text_given && args.text != "-") return args.text;
  if (isatty(STDIN_FILENO)) fail_usage("give the TEXT, or pipe it to standard input");
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

void require_language(const std::string &vocab_path, const std::string &language) {
  const std::vector<std::string> codes = vocabulary_languages(vocab_path);
  for (const std::string &code : codes)
    if (code == language) return;
  std::string known;
  for (const std::string &code : codes) known += (known.empty() ? "" : " ") + code;
  fail_usage("--language '" + language + "' is not in " + vocab_path + "; it has: " + known);
}

// --format, else --out's extension, else WAV.
AudioFormat checked_format(const SayArgs &args) {
  AudioFormat format = AudioFormat::kWav;
  if (!args.format.empty()) {
    if (!audio_format_from_name(args.format, format))
      fail_usage("--format takes " + audio_format_list() + ", not '" + args.format + "'");
    return format;
  }
  const std::string name = args.out_path.substr(args.out_path.find_last_of('/') + 1);
  if (args.out_path != "-" && name.find('.') != std::string::npos &&
      !audio_format_from_path(name, format))
    fail_usage("--out " + args.out_path +
               ": no format has this extension; use .wav .mp3 .opus .flac .aac "
               ".pcm or give --format");
  return format;
}

// Writes the encoded audio to standard output as each stretch comes; a write
// that fails (the reader went away, the disk is full) stops the synthesis.
struct StreamSink {
  FILE *out = stdout;
  AudioEncoder *encoder = nullptr;
  int64_t samples = 0;
  bool write_failed = false;
  int write_errno = 0;
};

bool flush_bytes(StreamSink &sink, const std::string &bytes) {
  if (write_all(sink.out, bytes) && std::fflush(sink.out) == 0) return true;
  sink.write_failed = true;
  sink.write_errno = errno;
  return false;
}

int write_stream_chunk(const float *samples, int n_samples, void *user_data) {
  auto *sink = static_cast<StreamSink *>(user_data);
  std::string bytes;
  if (!sink->encoder->write(samples, static_cast<size_t>(n_samples), bytes)) return 1;
  if (!bytes.empty() && !flush_bytes(*sink, bytes)) return 1;
  sink->samples += n_samples;
  return 0;
}

int speak_to_stdout(vclone_model *model, const std::string &text, const SayArgs &args,
                    const vclone_voice *voice, const vclone_options &options, AudioFormat format) {
  std::string error;
  std::unique_ptr<AudioEncoder> encoder =
      AudioEncoder::create(format, vclone_sample_rate(), true, error);
  if (!encoder) {
    std::fprintf(stderr, "vclone: %s\n", error.c_str());
    return kFailureExit;
  }
  StreamSink sink;
  sink.encoder = encoder.get();
  const int status = vclone_speak_stream(model, text.c_str(), args.language.c_str(), voice,
                                         &options, write_stream_chunk, &sink);
  // The codec's last bytes (the last Ogg page, MP3 or FLAC frame) come at finish.
  std::string tail;
  if (status == 0 && encoder->finish(tail)) flush_bytes(sink, tail);
  if (sink.write_failed) {
    std::fprintf(stderr, "vclone: cannot write to standard output: %s; stopped\n",
                 std::strerror(sink.write_errno));
    return kFailureExit;
  }
  if (!encoder->error().empty()) {
    std::fprintf(stderr, "vclone: %s\n", encoder->error().c_str());
    return kFailureExit;
  }
  if (status < 0) return report_failure("cannot speak");
  say_note("streamed %.2f s of audio", static_cast<double>(sink.samples) / vclone_sample_rate());
  return 0;
}

int speak_to_file(vclone_model *model, const std::string &text, const SayArgs &args,
                  const vclone_voice *voice, const vclone_options &options, AudioFormat format) {
  int32_t n_samples = 0;
  float *samples =
      vclone_speak(model, text.c_str(), args.language.c_str(), voice, &options, &n_samples);
  if (!samples) return report_failure("cannot speak");
  std::string error;
  const std::string bytes =
      encode_whole(format, samples, static_cast<size_t>(n_samples), vclone_sample_rate(), error);
  std::free(samples);
  if (!error.empty()) {
    std::fprintf(stderr, "vclone: %s\n", error.c_str());
    return kFailureExit;
  }
  FILE *file = std::fopen(args.out_path.c_str(), "wb");
  const bool written = file && write_all(file, bytes);
  const int saved_errno = errno;
  if (file && std::fclose(file) != 0 && written) {
    std::fprintf(stderr, "vclone: cannot write %s: %s\n", args.out_path.c_str(),
                 std::strerror(errno));
    return kFailureExit;
  }
  if (!written) {
    std::fprintf(stderr, "vclone: cannot write %s: %s\n", args.out_path.c_str(),
                 std::strerror(saved_errno));
    return kFailureExit;
  }
  say_note("wrote %s: %.2f s of audio", args.out_path.c_str(),
           static_cast<double>(n_samples) / vclone_sample_rate());
  return 0;
}

int run_say(const SayArgs &args) {
  // Arguments first, cheapest first; the model is loaded only when all pass.
  const vclone_options options = checked_options(args);
  const vclone_load_options load_options = checked_load_options(args.model);
  if (args.ref_path.empty() && args.voice_path.empty())
    fail_usage("give --ref WAV or --voice FILE");
  if (!args.ref_path.empty()) require_readable("--ref", args.ref_path);
  if (!args.voice_path.empty()) require_readable("--voice", args.voice_path);
  if (!args.lexicon_path.empty()) require_readable("--lexicon", args.lexicon_path);
  const bool to_stdout = args.out_path == "-";
  if (!to_stdout) require_writable_folder("--out", args.out_path);
  const AudioFormat format = checked_format(args);
  require_language(vocabulary_of(args.model), args.language);
  const std::string text = text_to_speak(args);
  if (is_blank_text(text)) fail_usage("the text is empty");

  // A voice file is read before the load too: a broken one costs nothing.
  VoiceHandle voice;
  if (!args.voice_path.empty()) {
    voice.voice = vclone_voice_load(args.voice_path.c_str());
    if (!voice.voice) return report_failure(("cannot read the voice " + args.voice_path).c_str());
  }
  ModelHandle model;
  if (!load_model(args.model, load_options, model)) return report_failure("cannot load the model");
  if (!args.lexicon_path.empty() &&
      vclone_model_load_lexicon(model.model, args.lexicon_path.c_str()) != 0)
    return report_failure("cannot load the lexicon");
  if (!voice.voice) {
    voice.voice = vclone_voice_from_wav(model.model, args.ref_path.c_str());
    if (!voice.voice) return report_failure(("cannot make a voice from " + args.ref_path).c_str());
  }
  return to_stdout ? speak_to_stdout(model.model, text, args, voice.voice, options, format)
                   : speak_to_file(model.model, text, args, voice.voice, options, format);
}

// ---- Command line ---------------------------------------------------------

const char *kSubcommands[] = {"say",     "voice", "languages", "normalize",
                              "inspect", "serve", "wyoming",   "prepare"};

// CLI11 calls a stray word "not expected"; a mistyped subcommand deserves
// its own message.
bool is_unknown_subcommand(int argc, char **argv) {
  if (argc < 2 || argv[1][0] == '-') return false;
  for (const char *name : kSubcommands)
    if (std::strcmp(argv[1], name) == 0) return false;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  // A closed pipe shows up as a failed write, which stops the synthesis.
  signal(SIGPIPE, SIG_IGN);
  vclone_log_set(log_to_stderr, nullptr);

  CLI::App app("vclone: speak a text in the voice of a short reference recording", "vclone");
  app.set_version_flag("--version", std::string(vclone_version()));
  app.require_subcommand(1);

  SayArgs say_args;
  auto *say = app.add_subcommand("say", "speak a text to an audio file or standard output");
  add_say_options(*say, say_args);
  auto *text_option = say->get_option("TEXT");

  VoiceArgs voice_args;
  auto *voice = app.add_subcommand("voice", "make a voice file from a reference recording");
  add_model_options(*voice, voice_args.model);
  voice->add_option("--ref", voice_args.ref_path, "reference recording (WAV)")->required();
  voice->add_option("--out", voice_args.out_path, "voice file to write")->required();

  std::string languages_vocab;
  auto *languages = app.add_subcommand("languages", "list the language codes of a vocabulary");
  languages->add_option("--vocab", languages_vocab, "vocabulary JSON")->required();

  std::string normalize_language = "en", normalize_text;
  auto *normalize = app.add_subcommand("normalize",
                                       "print a text as it is spoken: numbers, dates, "
                                       "money and abbreviations as words");
  normalize->add_option("--language", normalize_language, "language code; en");
  auto *normalize_text_option =
      normalize->add_option("TEXT", normalize_text, "text; standard input when absent or -");

  std::string inspect_path;
  bool inspect_list = false;
  auto *inspect =
      app.add_subcommand("inspect", "count (and list) the tensors of an archive or voice file");
  inspect->add_option("ARCHIVE", inspect_path, "weight archive or voice file")->required();
  inspect->add_flag("--list", inspect_list, "print every tensor's name and shape");

  PrepareArgs prepare_args;
  auto *prepare =
      app.add_subcommand("prepare", "write a prepared model that loads by mapping, or verify one");
  add_prepare_options(*prepare, prepare_args);

  ServeOptions serve_options;
  auto *serve = app.add_subcommand("serve", "serve speech over HTTP");
  add_serve_options(*serve, serve_options);

  WyomingOptions wyoming_options;
  auto *wyoming =
      app.add_subcommand("wyoming", "serve speech to Home Assistant over the Wyoming protocol");
  add_wyoming_options(*wyoming, wyoming_options);

  if (is_unknown_subcommand(argc, argv)) {
    std::fprintf(stderr,
                 "vclone: unknown subcommand '%s' (say, voice, languages, normalize, inspect, "
                 "serve, wyoming, prepare)\n"
                 "Run with --help for more information.\n",
                 argv[1]);
    return kUsageExit;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help and --version, on standard output
    std::fprintf(stderr, "vclone: %s\nRun with --help for more information.\n", e.what());
    return kUsageExit;
  }

  try {
    if (say->parsed()) {
      say_args.text_given = text_option->count() > 0;
      return run_say(say_args);
    }
    if (voice->parsed()) return run_voice(voice_args);
    if (languages->parsed()) return run_languages(languages_vocab);
    if (normalize->parsed())
      return run_normalize(normalize_language, normalize_text, normalize_text_option->count() > 0);
    if (inspect->parsed()) return run_inspect(inspect_path, inspect_list);
    if (serve->parsed()) return run_serve(serve_options);
    if (wyoming->parsed()) return run_wyoming(wyoming_options);
    if (prepare->parsed()) return run_prepare(prepare_args);
  } catch (const UsageError &e) {
    std::fprintf(stderr, "vclone: %s\n", e.message.c_str());
    return kUsageExit;
  }
  return kUsageExit;
}
