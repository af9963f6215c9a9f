// The original interface: one process-wide model, and vclone_tts as a
// request to the pipeline that every synthesis runs (pipeline.h) with the
// original options and results.
#include "audio/wav_io.h"
#include "engine/engine.h"
#include "engine/vclone_model.h"
#include "engine/guarded.h"
#include "engine/options.h"
#include "engine/pipeline.h"
#include "vclone.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

vclone_model *current_model = nullptr;

namespace {

// Whether out_path can be written: its folder exists and is writable, and an
// existing file there is writable. Checked before a synthesis, whose result
// would otherwise be lost. Records why not.
bool output_writable(const char *out_path) {
  if (!out_path || !*out_path) {
    set_last_error("No output path given");
    return false;
  }
  const std::string path = out_path;
  const size_t slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  struct stat info {};
  int reason = 0;
  if (stat(folder.c_str(), &info) != 0)
    reason = errno;
  else if (!S_ISDIR(info.st_mode))
    reason = ENOTDIR;
  else if (access(folder.c_str(), W_OK | X_OK) != 0)
    reason = errno;
  if (reason != 0) {
    set_last_error("Cannot write %s: folder %s: %s", out_path, folder.c_str(), strerror(reason));
    return false;
  }
  if (access(out_path, F_OK) == 0 && access(out_path, W_OK) != 0) {
    set_last_error("Cannot write %s: %s", out_path, strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

extern "C" {

VCLONE_API int vclone_load(const char *model_path, const char *vocab_path) {
  if (current_model) {
    set_last_error("Model already loaded");
    return -1;
  }
  if (!model_path || !vocab_path) {
    set_last_error("model_path and vocab_path required");
    return -1;
  }
  current_model = guarded("Loading", static_cast<vclone_model *>(nullptr), [&] {
    return load_model(model_path, vocab_path, vclone_default_load_options());
  });
  return current_model ? 0 : -1;
}

VCLONE_API float *vclone_tts(const char *text, const char *ref_wav, const char *language,
                             int *n_samples, float speed) {
  if (!current_model || !current_model->loaded) {
    set_last_error("Not loaded");
    return nullptr;
  }
  if (!text || !ref_wav || !language || !n_samples) {
    set_last_error("Bad args");
    return nullptr;
  }
  *n_samples = 0;
  if (!std::isfinite(speed) || speed <= 0.0f) {
    set_last_error("Bad speed: %g (must be a finite number greater than 0)", speed);
    return nullptr;
  }
  SynthesisRequest request;
  request.text = text;
  request.language = language;
  request.reference_path = ref_wav;
  request.options = vclone_default_options();
  request.options.speed = speed;
  request.original = true;
  return guarded("Synthesis", static_cast<float *>(nullptr), [&]() -> float * {
    std::vector<float> audio;
    const AudioSink collect = [&](const float *samples, int64_t count) {
      audio.insert(audio.end(), samples, samples + count);
      return true;
    };
    if (synthesize(*current_model, request, collect) != SpeakResult::kDone) return nullptr;
    int32_t count = 0;
    float *samples = samples_buffer(audio, &count);
    if (samples) *n_samples = count;
    return samples;
  });
}

VCLONE_API int vclone_tts_to_file(const char *text, const char *ref_wav, const char *language,
                                  const char *out_path, float speed) {
  if (current_model && current_model->loaded && text && ref_wav && language &&
      !output_writable(out_path))
    return -1;
  int n = 0;
  float *samples = vclone_tts(text, ref_wav, language, &n, speed);
  if (!samples) return -1;
  WavData wav{};
  wav.samples = samples;
  wav.total_samples = n;
  wav.sample_rate = kOutputSampleRate;
  wav.channels = 1;
  wav.frames = n;
  std::string error;
  int result = write_wav(out_path, &wav, &error);
  if (result != 0) set_last_error("Failed to write the result: %s", error.c_str());
  free(samples);
  return result;
}

VCLONE_API void vclone_unload(void) {
  if (!current_model) return;
  vclone_model *model = current_model;
  current_model = nullptr;
  release_model(model);
}

}  // extern "C"
