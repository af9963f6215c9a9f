// The exported engine functions: entry checks, and the guard that turns any
// exception into a failure result so that none crosses the C boundary.
#include "engine/engine.h"
#include "engine/vclone_model.h"
#include "audio/wav_io.h"
#include "util/exception_text.h"
#include "vclone.h"

#include <cstdlib>

VcloneModel *current_model = nullptr;

namespace {

void discard_current_model() {
  VcloneModel *model = current_model;
  current_model = nullptr;
  release_model(model);
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
  try {
    return load_model(model_path, vocab_path);
  } catch (const std::exception &e) {
    set_last_error("Loading failed: %s", exception_text(e));
  } catch (...) {
    set_last_error("Loading failed: unknown error");
  }
  discard_current_model();
  return -1;
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
  try {
    return synthesize(*current_model, text, ref_wav, language, n_samples, speed);
  } catch (const std::exception &e) {
    set_last_error("Synthesis failed: %s", exception_text(e));
  } catch (...) {
    set_last_error("Synthesis failed: unknown error");
  }
  *n_samples = 0;
  return nullptr;
}

VCLONE_API int vclone_tts_to_file(const char *text, const char *ref_wav, const char *language,
                                  const char *out_path, float speed) {
  int n = 0;
  float *samples = vclone_tts(text, ref_wav, language, &n, speed);
  if (!samples) return -1;
  WavData wav{};
  wav.samples = samples;
  wav.total_samples = n;
  wav.sample_rate = 24000;
  wav.channels = 1;
  wav.frames = n;
  int result = write_wav(out_path, &wav);
  free(samples);
  return result;
}

VCLONE_API void vclone_unload(void) {
  if (!current_model) return;
  discard_current_model();
}

}  // extern "C"
