// Many callers on one model: decode throughput, whole-call time, peak memory
// and first audio with 4 syntheses sharing each decode step, against one
// alone, for each precision, in one run (through the public header only).
//
//   bench_parallel ARCHIVE VOCAB REFERENCE.wav [f32|bf16|int8 ...]
//
// A random model never draws the stop code, so every call runs to its code
// budget (600 codes, ~28 s of audio). The time of 4 calls in sequence is 4
// times the time of one alone, measured in the same run.
#include "process_memory.h"
#include "vclone.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCodes = 600;
constexpr int kCallers = 4;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void quiet(int32_t level, const char *line, void *) {
  if (level >= VCLONE_LOG_WARN) fprintf(stderr, "%s\n", line);
}

struct Outcome {
  double seconds = 0;       // the whole call
  double first_audio = -1;  // streaming: to the first chunk
};

int first_chunk(const float *, int, void *user) {
  auto *timing = static_cast<std::pair<Clock::time_point, double> *>(user);
  if (timing->second < 0) timing->second = seconds_since(timing->first);
  return 0;
}

Outcome run(vclone_model *model, const vclone_voice *voice, uint64_t seed, bool streaming,
            int codes) {
  vclone_options options = vclone_default_options();
  options.max_codes = codes;
  options.seed = seed;
  Outcome outcome;
  const auto start = Clock::now();
  if (streaming) {
    std::pair<Clock::time_point, double> timing{start, -1.0};
    if (vclone_speak_stream(model,
                            "A sentence of about sixteen words, spoken again and again by "
                            "several callers at once.",
                            "en", voice, &options, first_chunk, &timing) != 0)
      fprintf(stderr, "stream failed: %s\n", vclone_get_last_error());
    outcome.first_audio = timing.second;
  } else {
    int32_t n = 0;
    float *samples = vclone_speak(model,
                                  "A sentence of about sixteen words, spoken again and "
                                  "again by several callers at once.",
                                  "en", voice, &options, &n);
    if (!samples) fprintf(stderr, "speak failed: %s\n", vclone_get_last_error());
    vclone_free(samples);
  }
  outcome.seconds = seconds_since(start);
  return outcome;
}

std::vector<Outcome> run_together(vclone_model *model, const vclone_voice *voice, int callers,
                                  bool streaming, int codes) {
  std::vector<Outcome> outcomes(callers);
  std::vector<std::thread> threads;
  for (int i = 0; i < callers; i++)
    threads.emplace_back([&, i] { outcomes[i] = run(model, voice, 100 + i, streaming, codes); });
  for (std::thread &thread : threads) thread.join();
  return outcomes;
}

double step_ms(vclone_model *model, int64_t *steps_before, double *seconds_before) {
  vclone_model_activity activity{};
  vclone_model_get_activity(model, &activity);
  const double ms = 1e3 * (activity.step_seconds - *seconds_before) /
                    std::max<int64_t>(1, activity.steps - *steps_before);
  *steps_before = activity.steps;
  *seconds_before = activity.step_seconds;
  return ms;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s ARCHIVE VOCAB REFERENCE.wav [f32|bf16|int8 ...]\n", argv[0]);
    return 2;
  }
  std::vector<std::string> precisions(argv + 4, argv + argc);
  if (precisions.empty()) precisions = {"f32", "bf16", "int8"};
  vclone_log_set(quiet, nullptr);
  printf(
      "| precision | one call: ms/code | 4 at once: ms/step | decode throughput x one | "
      "4 whole calls / 4 in sequence | peak MB, one / 4 | first audio s, one / worst of 4 |\n"
      "|---|---|---|---|---|---|---|\n");
  for (const std::string &precision : precisions) {
    vclone_load_options load = vclone_default_load_options();
    load.precision = precision == "bf16"   ? VCLONE_PRECISION_BF16
                     : precision == "int8" ? VCLONE_PRECISION_INT8
                                           : VCLONE_PRECISION_F32;
    load.max_parallel = kCallers;
    vclone_model *model = vclone_model_load(argv[1], argv[2], &load);
    if (!model) {
      fprintf(stderr, "%s\n", vclone_get_last_error());
      return 1;
    }
    vclone_voice *voice = vclone_voice_from_wav(model, argv[3]);
    if (!voice) {
      fprintf(stderr, "%s\n", vclone_get_last_error());
      return 1;
    }
    run(model, voice, 1, false, 8);  // warm: the voice's conditioning keys and values
    int64_t steps = 0;
    double step_seconds = 0;
    step_ms(model, &steps, &step_seconds);

    reset_peak_memory();
    const Outcome one = run(model, voice, 1, false, kCodes);
    const double one_step_ms = step_ms(model, &steps, &step_seconds);
    const double one_peak = resident_memory().peak_mb;

    reset_peak_memory();
    const auto start = Clock::now();
    run_together(model, voice, kCallers, false, kCodes);
    const double together = seconds_since(start);
    const double batch_step_ms = step_ms(model, &steps, &step_seconds);
    const double batch_peak = resident_memory().peak_mb;

    const Outcome alone = run(model, voice, 1, true, 40);
    double worst_first = 0;
    for (const Outcome &o : run_together(model, voice, kCallers, true, 40))
      worst_first = std::max(worst_first, o.first_audio);

    // Codes per second summed over the callers, against one caller's.
    const double throughput = (kCallers / batch_step_ms) / (1.0 / one_step_ms);
    printf("| %s | %.1f | %.1f | %.2f | %.2f (%.1f / %.1f s) | %.0f / %.0f | %.2f / %.2f |\n",
           precision.c_str(), one_step_ms, batch_step_ms, throughput,
           together / (kCallers * one.seconds), together, kCallers * one.seconds, one_peak,
           batch_peak, alone.first_audio, worst_first);
    fflush(stdout);
    vclone_voice_free(voice);
    vclone_model_free(model);
  }
  return 0;
}
