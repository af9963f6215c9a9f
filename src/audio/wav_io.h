// Reference input in any format libsndfile reads (WAV of any sample type,
// WAVE_FORMAT_EXTENSIBLE included, FLAC, Ogg Vorbis and Opus, MP3, AIFF, ...),
// and output as 16-bit PCM WAV.
#pragma once

#include <cstdint>
#include <string>

struct WavData {
  float *samples;         // interleaved, integer formats in [-1, 1); malloc'ed
  int32_t total_samples;  // frames * channels
  int32_t sample_rate;
  int32_t channels;
  int32_t frames;
};

// Reads the whole recording as floats: 16-bit PCM as x / 32768 exactly, other
// integer widths likewise scaled to [-1, 1), float formats as stored. A
// recording longer than max_seconds (by its header, and again by what it
// decodes to) is refused before its samples are allocated; max_seconds <= 0
// sets no limit beyond what 32-bit counts hold. Returns 0, or -1 with
// out->samples null and the reason, naming the path, in *error (when error is
// null the reason goes to the log instead).
int read_audio_file(const char *path, WavData *out, double max_seconds, std::string *error);

// How read_audio reads a recording.
struct AudioReadOptions {
  double max_seconds = 0;   // refused when longer (header, then decoding); 0: no limit
  double read_seconds = 0;  // decoding stops after this much; 0: the whole recording
  bool mono = false;        // channels averaged into one while decoding (frame by frame)
};

// Recordings above these are refused from their header, before any sample
// is decoded: decoding memory grows with rate and channels, and no reference
// needs more.
constexpr int kMaxReadSampleRate = 192000;
constexpr int kMaxReadChannels = 16;

// read_audio_file with the options above. With mono, out->channels is 1 and
// memory is one float per frame whatever the file's channel count; with
// read_seconds, no more than that is decoded (or held) at all.
int read_audio(const char *path, WavData *out, const AudioReadOptions &options, std::string *error);

// read_audio_file without a length limit, the reason of a failure logged.
int read_wav(const char *path, WavData *out);

// Writes in as a 16-bit PCM WAV file (each sample clamped to [-1, 1], scaled
// by 32767 and truncated; NaN writes 0). Returns 0, or -1 with the reason,
// naming the path, in *error (logged when error is null).
int write_wav(const char *path, const WavData *in, std::string *error = nullptr);

// Frees the samples of a record read by read_audio_file. Null is ignored.
void free_wav(WavData *wav);
