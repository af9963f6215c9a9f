// The one loaded-model record.
#pragma once

struct VcloneModel {
  bool loaded = false;
};

// Builds current_model from the two files (the steps after the entry checks).
// Returns 0, or -1 with the error recorded and the engine back to Unloaded.
int load_model(const char *model_path, const char *vocab_path);

// Destroys a record and everything it holds.
void release_model(VcloneModel *model);

// Synthesis body of vclone_tts, after its entry checks.
float *synthesize(const VcloneModel &model, const char *text, const char *ref_wav,
                  const char *language, int *n_samples, float speed);
