#include "engine/options.h"

#include "engine/engine.h"
#include "models/gpt/gpt_decoder.h"

#include <sched.h>

#include <cmath>
#include <cstddef>

// Fields come out of the reserved words: the struct a host was built with
// keeps its size and every offset.
static_assert(sizeof(vclone_options) == 144 && offsetof(vclone_options, reserved) == 56,
              "vclone_options changed size or layout");

namespace {

constexpr int kMaxCodes = GPTDecoderImpl::kMaxCodes;
constexpr int kAudioVocab = static_cast<int>(GPTDecoderImpl::kAudioVocab);
// Each synthesis in a step holds an attention cache of up to 150 MB.
constexpr int kMaxParallel = 64;

template <size_t N>
bool reserved_clear(const int64_t (&reserved)[N], const char *name) {
  for (size_t i = 0; i < N; i++) {
    if (reserved[i] != 0) {
      set_last_error("%s.reserved[%zu] is set: the host was built for a newer vclone than %s", name,
                     i, vclone_version());
      return false;
    }
  }
  return true;
}

bool in_range(double value, double low, double high, bool low_open, const char *field,
              const char *range) {
  const bool above_low = low_open ? value > low : value >= low;
  if (std::isfinite(value) && above_low && value <= high) return true;
  set_last_error("Bad option %s = %g: must be in %s", field, value, range);
  return false;
}

}  // namespace

int available_cores() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 1;
  return CPU_COUNT(&allowed) > 0 ? CPU_COUNT(&allowed) : 1;
}

extern "C" VCLONE_API vclone_load_options vclone_default_load_options(void) {
  vclone_load_options options{};
  options.n_threads = 0;
  options.precision = VCLONE_PRECISION_F32;
  options.max_parallel = 4;
  return options;
}

extern "C" VCLONE_API vclone_options vclone_default_options(void) {
  // The decoder's sampling defaults are the ones vclone_tts has always used.
  const CodeSampling sampling;
  vclone_options options{};
  options.temperature = sampling.temperature;
  options.top_k = sampling.top_k;
  options.top_p = sampling.top_p;
  options.repetition_penalty = sampling.repetition_penalty;
  options.seed = VCLONE_NO_SEED;
  options.max_codes = sampling.max_codes;
  options.speed = 1.0f;
  options.split_text = 1;
  options.pause_seconds = 0.2f;
  options.stream_first_codes = 12;
  options.stream_chunk_codes = 64;
  options.normalize = 1;
  options.ssml = 0;
  return options;
}

bool check_load_options(const vclone_load_options &o) {
  const int cores = available_cores();
  if (o.n_threads < 0 || o.n_threads > cores) {
    set_last_error("Bad option n_threads = %d: must be 0 (every core) to %d, the cores available",
                   o.n_threads, cores);
    return false;
  }
  if (o.precision != VCLONE_PRECISION_F32 && o.precision != VCLONE_PRECISION_BF16 &&
      o.precision != VCLONE_PRECISION_INT8) {
    set_last_error(
        "Bad option precision = %d: must be VCLONE_PRECISION_F32 (0), _BF16 (1) or "
        "_INT8 (2)",
        o.precision);
    return false;
  }
  if (o.max_parallel < 1 || o.max_parallel > kMaxParallel) {
    set_last_error("Bad option max_parallel = %d: must be 1 to %d", o.max_parallel, kMaxParallel);
    return false;
  }
  if (o.reserved32 != 0) {
    set_last_error(
        "vclone_load_options.reserved32 is set: the host was built for a newer vclone "
        "than %s",
        vclone_version());
    return false;
  }
  return reserved_clear(o.reserved, "vclone_load_options");
}

bool check_options(const vclone_options &o) {
  return in_range(o.temperature, 0, 10, true, "temperature", "(0, 10]") &&
         in_range(o.top_k, 0, kAudioVocab, false, "top_k", "[0, 1026] (0: off)") &&
         in_range(o.top_p, 0, 1, true, "top_p", "(0, 1]") &&
         in_range(o.repetition_penalty, 1, 100, false, "repetition_penalty", "[1, 100]") &&
         in_range(o.max_codes, 4, kMaxCodes, false, "max_codes", "[4, 606]") &&
         in_range(o.speed, 0.25, 4, false, "speed", "[0.25, 4]") &&
         in_range(o.pause_seconds, 0, 10, false, "pause_seconds", "[0, 10]") &&
         in_range(o.stream_first_codes, 4, kMaxCodes, false, "stream_first_codes", "[4, 606]") &&
         in_range(o.stream_chunk_codes, 4, kMaxCodes, false, "stream_chunk_codes", "[4, 606]") &&
         in_range(o.normalize, 0, 1, false, "normalize", "{0, 1}") &&
         in_range(o.ssml, 0, 1, false, "ssml", "{0, 1}") &&
         reserved_clear(o.reserved, "vclone_options");
}
