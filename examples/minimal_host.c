/* A minimal host: load a model, make a voice from a recording, speak one
 * sentence to a WAV file, release everything.
 * usage: minimal_host ARCHIVE VOCAB REFERENCE.wav OUT.wav "text" */
#include "vclone.h"

#include <stdio.h>
#include <stdlib.h>

/* A mono 16-bit PCM WAV file. */
static int write_wav(const char *path, const float *samples, int32_t n, int32_t rate) {
  FILE *file = fopen(path, "wb");
  if (!file) return -1;
  const uint32_t data = (uint32_t)n * 2, riff = 36 + data, fmt_size = 16,
                 byte_rate = (uint32_t)rate * 2;
  const uint16_t pcm = 1, channels = 1, align = 2, bits = 16;
  fwrite("RIFF", 1, 4, file);
  fwrite(&riff, 4, 1, file);
  fwrite("WAVEfmt ", 1, 8, file);
  fwrite(&fmt_size, 4, 1, file);
  fwrite(&pcm, 2, 1, file);
  fwrite(&channels, 2, 1, file);
  fwrite(&rate, 4, 1, file);
  fwrite(&byte_rate, 4, 1, file);
  fwrite(&align, 2, 1, file);
  fwrite(&bits, 2, 1, file);
  fwrite("data", 1, 4, file);
  fwrite(&data, 4, 1, file);
  for (int32_t i = 0; i < n; i++) {
    float x = samples[i] > 1.0f ? 1.0f : samples[i] < -1.0f ? -1.0f : samples[i];
    const int16_t value = (int16_t)(x * 32767.0f);
    fwrite(&value, 2, 1, file);
  }
  return fclose(file) == 0 ? 0 : -1;
}

int main(int argc, char **argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s ARCHIVE VOCAB REFERENCE.wav OUT.wav TEXT\n", argv[0]);
    return 2;
  }
  vclone_model *model = vclone_model_load(argv[1], argv[2], NULL);
  if (!model) {
    fprintf(stderr, "load failed: %s\n", vclone_get_last_error());
    return 1;
  }
  int status = 1;
  vclone_voice *voice = vclone_voice_from_wav(model, argv[3]);
  if (voice) {
    vclone_options options = vclone_default_options();
    options.seed = 7; /* the same samples on every run */
    int32_t n = 0;
    float *samples = vclone_speak(model, argv[5], "en", voice, &options, &n);
    if (samples) {
      status = write_wav(argv[4], samples, n, vclone_sample_rate()) == 0 ? 0 : 1;
      if (status != 0) fprintf(stderr, "cannot write %s\n", argv[4]);
      vclone_free(samples);
    }
  }
  if (status != 0 && vclone_get_last_error())
    fprintf(stderr, "failed: %s\n", vclone_get_last_error());
  vclone_voice_free(voice);
  vclone_model_free(model);
  return status;
}
