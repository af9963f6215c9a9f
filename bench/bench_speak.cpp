// Speaking through the model handle: making a voice, time to first audio when
// streaming, the streamed call against the whole call, per-piece overhead of
// long texts, and memory while streaming. Public header only.
//
// usage: bench_speak ARCHIVE VOCAB REFERENCE.wav [f32|bf16|int8]
#include "process_memory.h"
#include "vclone.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void quiet(int32_t level, const char *line, void *) {
  if (level >= VCLONE_LOG_WARN) fprintf(stderr, "%s\n", line);
}

struct StreamTiming {
  Clock::time_point start;
  double first_audio = -1;
  long samples = 0;
  int chunks = 0;
};

int on_audio(const float *, int n, void *user_data) {
  auto *timing = static_cast<StreamTiming *>(user_data);
  if (timing->first_audio < 0) timing->first_audio = seconds_since(timing->start);
  timing->samples += n;
  timing->chunks++;
  return 0;
}

double speak_seconds(vclone_model *model, const char *text, const vclone_voice *voice,
                     const vclone_options &options, int32_t *samples = nullptr) {
  int32_t n = 0;
  auto start = Clock::now();
  float *audio = vclone_speak(model, text, "en", voice, &options, &n);
  const double elapsed = seconds_since(start);
  if (!audio) fprintf(stderr, "speak failed: %s\n", vclone_get_last_error());
  free(audio);
  if (samples) *samples = n;
  return elapsed;
}

StreamTiming stream(vclone_model *model, const char *text, const vclone_voice *voice,
                    const vclone_options &options) {
  StreamTiming timing;
  timing.start = Clock::now();
  if (vclone_speak_stream(model, text, "en", voice, &options, on_audio, &timing) != 0)
    fprintf(stderr, "stream failed: %s\n", vclone_get_last_error());
  return timing;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s ARCHIVE VOCAB REFERENCE.wav [f32|bf16|int8]\n", argv[0]);
    return 2;
  }
  const std::string precision = argc > 4 ? argv[4] : "f32";
  vclone_log_set(quiet, nullptr);
  vclone_load_options load = vclone_default_load_options();
  load.precision = precision == "bf16"   ? VCLONE_PRECISION_BF16
                   : precision == "int8" ? VCLONE_PRECISION_INT8
                                         : VCLONE_PRECISION_F32;
  vclone_model *model = vclone_model_load(argv[1], argv[2], &load);
  if (!model) {
    fprintf(stderr, "%s\n", vclone_get_last_error());
    return 1;
  }

  // Voice from the reference: best of three.
  double voice_s = 1e9;
  vclone_voice *voice = nullptr;
  for (int i = 0; i < 3; i++) {
    vclone_voice_free(voice);
    auto start = Clock::now();
    voice = vclone_voice_from_wav(model, argv[3]);
    voice_s = std::min(voice_s, seconds_since(start));
  }
  if (!voice) return 1;
  const char *saved = "/tmp/bench_speak_voice.vcv";
  vclone_voice_save(voice, saved);
  vclone_voice_free(voice);
  voice = vclone_voice_load(saved);

  // A sentence of about 15 words, streamed and whole with the same seed.
  const char *sentence =
      "The quick brown fox jumps over the lazy dog while the sun sets slowly in the west.";
  vclone_options options = vclone_default_options();
  options.seed = 1;
  stream(model, "Warm up.", voice, options);  // first-call allocations
  const StreamTiming streamed = stream(model, sentence, voice, options);
  const double streamed_s = seconds_since(streamed.start);
  int32_t whole_samples = 0;
  const double whole_s = speak_seconds(model, sentence, voice, options, &whole_samples);

  // Per-piece overhead: four pieces against one, 40 codes each.
  vclone_options pieces = vclone_default_options();
  pieces.seed = 2;
  pieces.max_codes = 40;
  std::string four;
  for (int i = 0; i < 4; i++) {
    for (int j = 0; j < 5; j++)
      four += "A sentence of some length that fills the piece well enough. ";
  }
  const double one_s = speak_seconds(model, "A short sentence.", voice, pieces);
  const double four_s = speak_seconds(model, four.c_str(), voice, pieces);
  int32_t four_samples = 0;
  speak_seconds(model, four.c_str(), voice, pieces, &four_samples);
  const int piece_count = static_cast<int>((four_samples + 4800) / (256 * 161 + 4800));

  // Memory while streaming: one piece, then many.
  reset_peak_memory();
  stream(model, "A short sentence.", voice, pieces);
  const long one_piece_kib = static_cast<long>(resident_memory().peak_mb * 1024);
  reset_peak_memory();
  stream(model, (four + four).c_str(), voice, pieces);
  const long many_kib = static_cast<long>(resident_memory().peak_mb * 1024);

  const double audio_s = static_cast<double>(whole_samples) / vclone_sample_rate();
  printf("precision                          %s\n", precision.c_str());
  printf("voice from a reference             %.3f s (best of 3)\n", voice_s);
  printf("first audio, streamed sentence     %.3f s (%d chunks)\n", streamed.first_audio,
         streamed.chunks);
  printf("streamed call                      %.2f s for %.2f s of audio\n", streamed_s, audio_s);
  printf("whole call (vclone_speak)          %.2f s, real-time factor %.2f\n", whole_s,
         whole_s / audio_s);
  printf("first audio / whole call           %.3f\n", streamed.first_audio / whole_s);
  printf("streamed / whole call              %.3f\n", streamed_s / whole_s);
  printf("one 40-code piece                  %.2f s\n", one_s);
  printf("text of %d 40-code pieces           %.2f s, %.2f s a piece, overhead %.2f s a piece\n",
         piece_count, four_s, four_s / piece_count, four_s / piece_count - one_s);
  printf("peak resident, streaming 1 / %d pieces  %ld / %ld MB\n", 2 * piece_count,
         one_piece_kib / 1024, many_kib / 1024);
  printf(
      "{\"precision\": \"%s\", \"voice_s\": %.3f, \"first_audio_s\": %.3f, \"streamed_s\": %.2f, "
      "\"whole_s\": %.2f, \"rtf\": %.3f, \"piece_overhead_s\": %.3f, \"stream_rss_mb\": [%ld, "
      "%ld]}\n",
      precision.c_str(), voice_s, streamed.first_audio, streamed_s, whole_s, whole_s / audio_s,
      four_s / piece_count - one_s, one_piece_kib / 1024, many_kib / 1024);
  vclone_voice_free(voice);
  vclone_model_free(model);
  return 0;
}
