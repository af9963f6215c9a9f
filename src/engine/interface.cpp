// The original exported functions: entry checks on the one process-wide
// model, and the guard that turns any exception into a failure result so
// that none crosses the C boundary.
#include "audio/wav_io.h"
#include "engine/engine.h"
#include "engine/vclone_model.h"
#include "util/exception_text.h"
#include "vclone.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

VcloneModel *current_model = nullptr;

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
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    set_last_error("Cannot write %s: folder %s: %s", out_path, folder.c_str(), strerror(errno));
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
  try {
    current_model = load_model(model_path, vocab_path, vclone_default_load_options());
    return current_model ? 0 : -1;
  } catch (const std::exception &e) {
    set_last_error("Loading failed: %s", exception_text(e));
  } catch (...) {
    set_last_error("Loading failed: unknown error");
  }
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
    std::lock_guard<std::mutex> lock(current_model->call_mutex);
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
  if (current_model && current_model->loaded && text && ref_wav && language &&
      !output_writable(out_path))
    return -1;
  int n = 0;
  float *samples = vclone_tts(text, ref_wav, language, &n, speed);
  if (!samples) return -1;
  WavData wav{};
  wav.samples = samples;
  wav.total_samples = n;
  wav.sample_rate = 24000;
  wav.channels = 1;
  wav.frames = n;
  errno = 0;
  int result = write_wav(out_path, &wav);
  if (result != 0)
    set_last_error("Failed to write %s: %s", out_path, errno ? strerror(errno) : "write error");
  free(samples);
  return result;
}

VCLONE_API void vclone_unload(void) {
  if (!current_model) return;
  VcloneModel *model = current_model;
  current_model = nullptr;
  release_model(model);
}

}  // extern "C"
