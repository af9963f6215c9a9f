#include "audio/wav_io.h"

#include <cstdlib>

int read_wav(const char *, WavData *) { return -1; }
int write_wav(const char *, const WavData *) { return -1; }
void free_wav(WavData *wav) {
  if (wav && wav->samples) {
    free(wav->samples);
    wav->samples = nullptr;
    wav->total_samples = 0;
  }
}
