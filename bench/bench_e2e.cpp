// End-to-end benchmark on a full-size model: load, each stage, pass-1 cost per
// code against the memory-bandwidth floor, the vocoder, the real-time factor
// and peak memory; then, for each decoder precision in turn (each in a fresh
// process of its own), the whole call's real-time factor and peak memory and
// the streaming first-audio time. Prints a table and one JSON line.
//
// usage: bench_e2e ARCHIVE VOCAB [CODES] [--precision f32|bf16|int8]
#include "audio/mel.h"
#include "audio/resample.h"
#include "audio/wav_io.h"
#include "engine/engine.h"
#include "engine/vclone_model.h"
#include "models/gpt/decoder_precision.h"
#include "models/hifigan/hifi_decoder.h"
#include "vclone.h"
#include "bench_support.h"

#include <ATen/Parallel.h>
#include <torch/types.h>
#include <torch/utils.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Clock;
using bench::seconds_since;

// Seconds to read the whole file once, in 64 MiB blocks.
double read_file_seconds(const char *path) {
  FILE *file = fopen(path, "rb");
  if (!file) return -1;
  std::vector<char> block(64 << 20);
  auto start = Clock::now();
  while (fread(block.data(), 1, block.size(), file) == block.size()) {
  }
  double elapsed = seconds_since(start);
  fclose(file);
  return elapsed;
}

double model_weight_bytes(vclone_model &model) {
  double bytes = 0;
  for (torch::nn::Module *module : std::initializer_list<torch::nn::Module *>{
           model.conditioning_encoder.get(), model.conditioning_perceiver.get(),
           model.gpt_decoder.get(), model.speaker_encoder.get(), model.hifi_decoder.get()})
    for (const auto &p : module->parameters()) bytes += p.numel() * sizeof(float);
  return bytes;
}

std::string write_reference(double seconds) {
  const int rate = 22050;
  const int frames = static_cast<int>(rate * seconds);
  std::vector<float> samples(frames);
  for (int i = 0; i < frames; i++) {
    double t = static_cast<double>(i) / rate;
    samples[i] = 0.3 * std::sin(2 * M_PI * 140 * t) + 0.1 * std::sin(2 * M_PI * 420 * t);
  }
  char path[] = "/tmp/vclone-bench-XXXXXX.wav";
  int fd = mkstemps(path, 4);
  close(fd);
  WavData wav{samples.data(), frames, rate, 1, frames};
  write_wav(path, &wav);
  return path;
}

struct StageTimes {
  double conditioning = 0, speaker = 0, tokenizer = 0;
};

StageTimes time_stages(vclone_model &model, double seconds) {
  std::string path = write_reference(seconds);
  WavData wav{};
  read_wav(path.c_str(), &wav);
  at::Tensor reference = torch::from_blob(wav.samples, {wav.frames}, torch::kFloat32).clone();
  free_wav(&wav);
  unlink(path.c_str());
  StageTimes times;
  auto start = Clock::now();
  at::Tensor audio22 = resample_audio(reference, 22050, 22050);
  const int64_t chunks = std::max<int64_t>(1, std::min<int64_t>(4, audio22.size(0) / 132300));
  at::Tensor sum;
  for (int64_t i = 0; i < chunks; i++) {
    at::Tensor segment = audio22.slice(0, i * 132300, std::min(audio22.size(0), (i + 1) * 132300));
    at::Tensor h =
        model.conditioning_encoder->forward(gpt_mel_spectrogram(segment, model.mel_stats));
    at::Tensor p = model.conditioning_perceiver->forward(h.permute({0, 2, 1}));
    sum = i == 0 ? p : sum + p;
  }
  times.conditioning = seconds_since(start);
  start = Clock::now();
  model.speaker_encoder->forward(speaker_mel_spectrogram(resample_audio(reference, 22050, 16000)));
  times.speaker = seconds_since(start);
  start = Clock::now();
  encode(model.tokenizer, "Hello! This sentence is spoken in the voice of the reference recording.",
         "en");
  times.tokenizer = seconds_since(start);
  return times;
}

const char *kSentence =
    "Hello! This sentence is spoken in the voice of the reference recording, at an even pace "
    "and without hurry.";

int32_t public_precision(DecoderPrecision p) {
  return p == DecoderPrecision::kBF16   ? VCLONE_PRECISION_BF16
         : p == DecoderPrecision::kInt8 ? VCLONE_PRECISION_INT8
                                        : VCLONE_PRECISION_F32;
}

struct StreamClock {
  Clock::time_point start;
  double first_audio_s = -1;
};

int on_stream_audio(const float *, int n_samples, void *user_data) {
  auto *clock = static_cast<StreamClock *>(user_data);
  if (n_samples > 0 && clock->first_audio_s < 0) clock->first_audio_s = seconds_since(clock->start);
  return 1;  // the first audio is all this measures
}

// Loads the model in one precision, speaks the sentence whole (speed 1.0,
// 5-second reference, seed 2) and then streams it from a saved voice until
// the first audio, twice. Adds "<precision>_..." figures.
bool measure_precision(const char *archive, const char *vocab, DecoderPrecision precision,
                       std::map<std::string, double> &figures) {
  const std::string tag = bench::precision_name(precision);
  vclone_load_options load = vclone_default_load_options();
  load.precision = public_precision(precision);
  auto start = Clock::now();
  vclone_model *model = vclone_model_load(archive, vocab, &load);
  if (model == nullptr) {
    fprintf(stderr, "%s\n", vclone_get_last_error());
    return false;
  }
  figures[tag + "_load_s"] = seconds_since(start);
  // What the load options ask for, should this build's loading not apply it.
  if (decoder_precision(*model->gpt_decoder) != precision)
    set_decoder_precision(*model->gpt_decoder, precision);
  if (precision != DecoderPrecision::kF32 && !model->hifi_decoder->bf16)
    set_vocoder_bf16(*model->hifi_decoder, true);
  figures[tag + "_vocoder_bf16"] = model->hifi_decoder->bf16 ? 1 : 0;

  const std::string reference = write_reference(5.0);
  vclone_voice *voice = vclone_voice_from_wav(model, reference.c_str());
  unlink(reference.c_str());
  if (voice == nullptr) {
    fprintf(stderr, "%s\n", vclone_get_last_error());
    vclone_model_free(model);
    return false;
  }
  vclone_options options = vclone_default_options();
  options.seed = 2;
  reset_peak_memory();
  int32_t n = 0;
  start = Clock::now();
  float *samples = vclone_speak(model, kSentence, "en", voice, &options, &n);
  const double call = seconds_since(start);
  free(samples);
  figures[tag + "_tts_s"] = call;
  figures[tag + "_tts_audio_s"] = n / 24000.0;
  figures[tag + "_real_time_factor"] = n > 0 ? call / (n / 24000.0) : -1;
  figures[tag + "_peak_rss_synthesis_mb"] = resident_memory().peak_mb * 1.048576;

  // A saved voice, as a server keeps it.
  char voice_path[] = "/tmp/vclone-bench-voice-XXXXXX";
  const int fd = mkstemp(voice_path);
  close(fd);
  vclone_voice *saved = nullptr;
  if (vclone_voice_save(voice, voice_path) == 0) saved = vclone_voice_load(voice_path);
  unlink(voice_path);
  if (saved != nullptr) {
    // The first request with a loaded voice also computes the decoder's keys
    // and values for its conditioning, which later requests reuse.
    for (const char *figure : {"_stream_first_audio_s", "_stream_first_audio_again_s"}) {
      StreamClock clock;
      clock.start = Clock::now();
      vclone_speak_stream(model, kSentence, "en", saved, &options, on_stream_audio, &clock);
      figures[tag + figure] = clock.first_audio_s;
    }
    vclone_voice_free(saved);
  }
  vclone_voice_free(voice);
  vclone_model_free(model);
  return true;
}

std::string shell_quoted(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs measure_precision in a fresh process of this program, so that what
// earlier stages left in the heap counts in no peak. Adds its figures.
bool measure_precision_apart(const char *archive, const char *vocab, DecoderPrecision precision,
                             std::map<std::string, double> &figures) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return false;
  self[length] = '\0';
  const std::string command = shell_quoted(self) + " " + shell_quoted(archive) + " " +
                              shell_quoted(vocab) + " --one-precision " +
                              bench::precision_name(precision);
  FILE *child = popen(command.c_str(), "r");
  if (child == nullptr) return false;
  char name[128];
  double value = 0;
  while (fscanf(child, "%127s %lf", name, &value) == 2) figures[name] = value;
  return pclose(child) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  // The child of measure_precision_apart: ARCHIVE VOCAB --one-precision P.
  if (argc == 5 && std::string(argv[3]) == "--one-precision") {
    std::vector<DecoderPrecision> one;
    argv[3] = const_cast<char *>("--precision");
    if (!bench::parse_precision(argc, argv, &one, {})) return 2;
    std::map<std::string, double> figures;
    if (!measure_precision(argv[1], argv[2], one[0], figures)) return 1;
    for (const auto &[name, value] : figures) printf("%s %.6f\n", name.c_str(), value);
    return 0;
  }
  if (argc < 3) {
    fprintf(stderr, "usage: %s ARCHIVE VOCAB [CODES]\n", argv[0]);
    return 2;
  }
  const int codes_wanted = argc > 3 && argv[3][0] != '-' ? std::atoi(argv[3]) : 602;
  std::vector<DecoderPrecision> precisions;
  if (!bench::parse_precision(
          argc, argv, &precisions,
          {DecoderPrecision::kF32, DecoderPrecision::kBF16, DecoderPrecision::kInt8}))
    return 2;
  std::map<std::string, double> figures;
  torch::NoGradGuard no_grad;

  // The load that follows reads the file from the page cache, as the second
  // of these reads does.
  figures["archive_read_s"] = std::min(read_file_seconds(argv[1]), read_file_seconds(argv[1]));
  auto start = Clock::now();
  if (vclone_load(argv[1], argv[2]) != 0) return 1;
  figures["load_s"] = seconds_since(start);
  figures["threads"] = at::get_num_threads();
  vclone_model &model = *current_model;
  figures["weights_mb"] = model_weight_bytes(model) / 1e6;

  // The whole call, as a host makes it, at speed 1.0 with a 5-second reference.
  // It runs first, so that its peak memory is what a host's first call sees
  // and not what the stage timings below leave in the allocator.
  std::string reference = write_reference(5.0);
  reset_peak_memory();
  torch::manual_seed(2);
  int n = 0;
  auto call_start = Clock::now();
  float *samples = vclone_tts(
      "Hello! This sentence is spoken in the voice of the reference "
      "recording, at an even pace and without hurry.",
      reference.c_str(), "en", &n, 1.0f);
  const double total = seconds_since(call_start);
  unlink(reference.c_str());
  figures["tts_s"] = total;
  figures["tts_audio_s"] = n / 24000.0;
  figures["real_time_factor"] = n > 0 ? total / (n / 24000.0) : -1;
  figures["peak_rss_synthesis_mb"] = resident_memory().peak_mb * 1.048576;
  figures["peak_rss_limit_mb"] = 1.2 * figures["weights_mb"] + 400;
  free(samples);

  for (double seconds : {6.0, 20.0}) {
    StageTimes times = time_stages(model, seconds);
    std::string tag = std::to_string(static_cast<int>(seconds)) + "s";
    figures["conditioning_" + tag + "_s"] = times.conditioning;
    figures["speaker_" + tag + "_s"] = times.speaker;
    figures["tokenizer_" + tag + "_ms"] = times.tokenizer * 1e3;
  }

  // Pass 1 with a fixed count: the random model's stop code is never drawn.
  at::Tensor cond = torch::randn({1, 1024, 32});
  at::Tensor text = torch::randint(10, 200, {1, 40}, torch::kInt64);
  torch::manual_seed(1);
  start = Clock::now();
  at::Tensor codes =
      model.gpt_decoder->generate_codes(cond, text, 0.75f, 50, 0.85f, 5.0f, codes_wanted);
  const double pass1 = seconds_since(start);
  const int64_t m = codes.size(1);
  figures["codes"] = static_cast<double>(m);
  figures["pass1_ms_per_code"] = pass1 / m * 1e3;

  // Measured right after pass 1, under the same load from the rest of the
  // machine; the floor is the decoder's bytes over the median rate.
  const bench::Bandwidth bandwidth = bench::memory_bandwidth(std::thread::hardware_concurrency());
  const double step_bytes = bench::decode_step_weight_bytes(*model.gpt_decoder);
  figures["bandwidth_gb_s"] = bandwidth.median / 1e9;
  figures["bandwidth_best_gb_s"] = bandwidth.best / 1e9;
  figures["decode_weight_mb"] = step_bytes / 1e6;
  figures["floor_ms_per_code"] = step_bytes / bandwidth.median * 1e3;
  figures["pass1_over_floor"] = figures["pass1_ms_per_code"] / figures["floor_ms_per_code"];
  figures["pass1_over_best_floor"] =
      figures["pass1_ms_per_code"] / (step_bytes / bandwidth.best * 1e3);

  start = Clock::now();
  at::Tensor latents = model.gpt_decoder->compute_latents(cond, text, codes);
  figures["pass2_s"] = seconds_since(start);
  at::Tensor g = torch::nn::functional::normalize(torch::randn({1, 512})).unsqueeze(-1);
  start = Clock::now();
  at::Tensor wave = model.hifi_decoder->forward(latents, g);
  const double vocoder = seconds_since(start);
  const double audio_seconds = wave.size(2) / 24000.0;
  figures["vocoder_s"] = vocoder;
  figures["vocoder_s_per_audio_s"] = vocoder / audio_seconds;

  vclone_unload();

  for (DecoderPrecision precision : precisions)
    if (!measure_precision_apart(argv[1], argv[2], precision, figures)) return 1;
  const double f32_rtf =
      figures.count("f32_real_time_factor") ? figures["f32_real_time_factor"] : 0;
  const double f32_peak =
      figures.count("f32_peak_rss_synthesis_mb") ? figures["f32_peak_rss_synthesis_mb"] : 0;
  for (DecoderPrecision precision : precisions) {
    const std::string tag = bench::precision_name(precision);
    if (precision == DecoderPrecision::kF32 || f32_rtf <= 0) continue;
    figures[tag + "_rtf_over_f32"] = figures[tag + "_real_time_factor"] / f32_rtf;
    figures[tag + "_peak_rss_below_f32_mb"] = f32_peak - figures[tag + "_peak_rss_synthesis_mb"];
  }

  printf("\n%-28s %12s\n", "figure", "value");
  for (const auto &[name, value] : figures) printf("%-28s %12.3f\n", name.c_str(), value);
  printf("{");
  bool first = true;
  for (const auto &[name, value] : figures) {
    printf("%s\"%s\": %.4f", first ? "" : ", ", name.c_str(), value);
    first = false;
  }
  printf("}\n");
  return 0;
}
