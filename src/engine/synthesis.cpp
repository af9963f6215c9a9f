#include "engine/engine.h"
#include "engine/vclone_model.h"

float *synthesize(const VcloneModel &, const char *, const char *, const char *, int *n_samples,
                  float) {
  *n_samples = 0;
  set_last_error("vclone_tts: not implemented yet");
  return nullptr;
}
