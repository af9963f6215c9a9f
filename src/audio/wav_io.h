// WAV input (16-bit PCM) and output (16-bit PCM).
#pragma once

#include <cstdint>

struct WavData {
  float *samples;         // interleaved, nominally in [-1, 1); malloc'ed
  int32_t total_samples;  // frames * channels
  int32_t sample_rate;
  int32_t channels;
  int32_t frames;
};

// Reads a 16-bit PCM WAV file. Returns 0, or -1 with out->samples null.
int read_wav(const char *path, WavData *out);

// Writes in as a 16-bit PCM WAV file. Returns 0, or -1 on any failure.
int write_wav(const char *path, const WavData *in);

// Frees the samples of a record read by read_wav. Null is ignored.
void free_wav(WavData *wav);
