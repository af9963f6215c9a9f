#include "audio/wav_io.h"
#include "util/log.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr size_t kFmtBytes = 16;
constexpr size_t kWavHeaderBytes = 44;
constexpr int kWriteBlockSamples = 8192;
// Samples decoded per call, and the most allocated before the decoder has
// shown that the recording is as long as its header says: a header may lie,
// and may claim hundreds of channels, so both count samples, not frames.
constexpr sf_count_t kReadBlockSamples = 1 << 16;
constexpr sf_count_t kFirstCapacitySamples = 1 << 20;

void put_u16(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put_u32(unsigned char *p, uint32_t v) {
  put_u16(p, v);
  put_u16(p + 2, v >> 16);
}

int16_t to_pcm16(float x) {
  if (std::isnan(x)) return 0;
  if (x > 1.0f) x = 1.0f;
  if (x < -1.0f) x = -1.0f;
  return static_cast<int16_t>(x * 32767.0f);
}

// A failure's reason goes to the caller when it asked for it, else to the log.
int fail(std::string *error, const std::string &reason) {
  if (error)
    *error = reason;
  else
    log_line(kLogWarn, "[audio_io] %s\n", reason.c_str());
  return -1;
}

std::string system_reason(const char *what, const char *path, int error_number) {
  return std::string(what) + " " + path + ": " + strerror(error_number);
}

// A descriptor closed when it goes out of scope.
struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

struct SoundFile {
  SNDFILE *file = nullptr;
  ~SoundFile() {
    if (file) sf_close(file);
  }
};

// Opens the file here rather than in libsndfile, so that a system failure
// keeps errno's own reason ("No such file or directory" is not "Permission
// denied"); libsndfile then judges the contents.
bool open_sound(const char *path, FileDescriptor &fd, SoundFile &sound, SF_INFO &info,
                std::string &reason) {
  fd.fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd.fd < 0) {
    reason = system_reason("cannot open", path, errno);
    return false;
  }
  struct stat status;
  if (fstat(fd.fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    reason = system_reason("cannot read", path, EISDIR);
    return false;
  }
  memset(&info, 0, sizeof info);
  sound.file = sf_open_fd(fd.fd, SFM_READ, &info, SF_FALSE);
  if (!sound.file) {
    reason = std::string(path) + " is not an audio file libsndfile reads: " + sf_strerror(nullptr);
    return false;
  }
  if (info.channels <= 0 || info.samplerate <= 0) {
    reason = std::string(path) + " has no channels or no sample rate";
    return false;
  }
  return true;
}

// The most frames the caller accepts: max_seconds of them, and never more
// samples than a 32-bit count holds.
sf_count_t frame_limit(const SF_INFO &info, double max_seconds) {
  sf_count_t limit = std::numeric_limits<int32_t>::max() / info.channels;
  if (max_seconds > 0 && max_seconds * info.samplerate < static_cast<double>(limit))
    limit = static_cast<sf_count_t>(std::floor(max_seconds * info.samplerate));
  return limit;
}

// frames is the header's count, or, when decoding passed the limit, one
// frame more than the limit: then the true length is unknown.
std::string too_long(const char *path, const SF_INFO &info, sf_count_t frames, double max_seconds,
                     bool decoded) {
  char text[128];
  if (max_seconds > 0 && decoded)
    snprintf(text, sizeof text, " lasts more than %g s, the most a reference may last",
             max_seconds);
  else if (max_seconds > 0)
    snprintf(text, sizeof text, " lasts %.1f s; a reference may last at most %g s",
             static_cast<double>(frames) / info.samplerate, max_seconds);
  else
    snprintf(text, sizeof text, " holds more samples than a 32-bit count allows");
  return path + std::string(text);
}

// Decodes up to `wanted` frames into a buffer that grows with what is
// decoded, not with what the header claims; with mono, each frame's channels
// are averaged as they are decoded, so the buffer holds one float a frame.
// *frames is what was decoded; null when an allocation failed.
float *decode_frames(SNDFILE *file, const SF_INFO &info, sf_count_t wanted, bool mono,
                     sf_count_t *frames) {
  const int channels = info.channels;
  const int kept = mono ? 1 : channels;
  const sf_count_t block_frames = std::max<sf_count_t>(1, kReadBlockSamples / channels);
  sf_count_t capacity = std::min<sf_count_t>(wanted, kFirstCapacitySamples / channels);
  if (info.frames > 0 && info.frames < capacity) capacity = info.frames;
  if (capacity < 1) capacity = 1;
  float *samples = static_cast<float *>(malloc(sizeof(float) * capacity * kept));
  std::vector<float> block;
  if (mono && channels > 1) block.resize(static_cast<size_t>(block_frames * channels));
  *frames = 0;
  while (samples && *frames < wanted) {
    if (*frames == capacity) {
      capacity = std::min(wanted, 2 * capacity);
      float *grown = static_cast<float *>(realloc(samples, sizeof(float) * capacity * kept));
      if (!grown) {
        free(samples);
        return nullptr;
      }
      samples = grown;
    }
    const sf_count_t count = std::min(block_frames, capacity - *frames);
    float *into = block.empty() ? samples + *frames * kept : block.data();
    const sf_count_t got = sf_readf_float(file, into, count);
    if (got <= 0) break;
    if (!block.empty())
      for (sf_count_t f = 0; f < got; f++) {
        float sum = 0.0f;
        for (int c = 0; c < channels; c++) sum += block[static_cast<size_t>(f * channels + c)];
        samples[*frames + f] = sum / static_cast<float>(channels);
      }
    *frames += got;
  }
  return samples;
}

// Integer formats decode into [-1, 1); a float file may hold anything, and a
// NaN or an infinity would spread through every later stage.
bool all_finite(const float *samples, int64_t count) {
  for (int64_t i = 0; i < count; i++)
    if (!std::isfinite(samples[i])) return false;
  return true;
}

}  // namespace

int read_audio(const char *path, WavData *out, const AudioReadOptions &options,
               std::string *error) {
  if (out) memset(out, 0, sizeof(*out));
  if (!path || !out) return fail(error, "no audio file path or no output record given");
  FileDescriptor fd;
  SoundFile sound;
  SF_INFO info;
  std::string reason;
  if (!open_sound(path, fd, sound, info, reason)) return fail(error, reason);
  if (info.samplerate > kMaxReadSampleRate || info.channels > kMaxReadChannels) {
    char text[160];
    snprintf(text, sizeof text,
             " has %d Hz and %d channels; a reference may have at most %d Hz "
             "and %d channels",
             info.samplerate, info.channels, kMaxReadSampleRate, kMaxReadChannels);
    return fail(error, path + std::string(text));
  }

  const double max_seconds = options.max_seconds;
  const sf_count_t limit = frame_limit(info, max_seconds);
  // Unknown lengths (a pipe) read as SF_COUNT_MAX and are judged while decoding.
  if (info.frames > limit && info.frames != SF_COUNT_MAX)
    return fail(error, too_long(path, info, info.frames, max_seconds, false));
  // One frame past the limit shows that it was passed; a read limit below
  // it stops decoding early, the header having vouched for the length.
  sf_count_t wanted = limit + 1;
  if (options.read_seconds > 0)
    wanted = std::min(wanted, std::max<sf_count_t>(1, static_cast<sf_count_t>(options.read_seconds *
                                                                              info.samplerate)));
  const bool mono = options.mono && info.channels > 1;
  const int kept = mono ? 1 : info.channels;

  sf_count_t frames = 0;
  float *samples = decode_frames(sound.file, info, wanted, mono, &frames);
  if (!samples) return fail(error, system_reason("cannot read", path, ENOMEM));
  std::string problem;
  if (sf_error(sound.file) != SF_ERR_NO_ERROR)
    problem = std::string("cannot decode ") + path + ": " + sf_strerror(sound.file);
  else if (frames > limit)
    problem = too_long(path, info, frames, max_seconds, true);
  else if (frames == 0)
    problem = std::string(path) + " holds no samples";
  else if (!all_finite(samples, frames * kept))
    problem = std::string(path) + " holds samples that are not finite numbers";
  if (!problem.empty()) {
    free(samples);
    return fail(error, problem);
  }

  // Shrinking in place never fails in practice; the larger block serves if it does.
  if (float *fitted = static_cast<float *>(realloc(samples, sizeof(float) * frames * kept)))
    samples = fitted;
  out->samples = samples;
  out->channels = kept;
  out->frames = static_cast<int32_t>(frames);
  out->total_samples = static_cast<int32_t>(frames * kept);
  out->sample_rate = info.samplerate;
  log_line(kLogInfo, "[audio_io] Read %s: %d frames, %d Hz, %d ch\n", path, out->frames,
           out->sample_rate, info.channels);
  return 0;
}

int read_audio_file(const char *path, WavData *out, double max_seconds, std::string *error) {
  AudioReadOptions options;
  options.max_seconds = max_seconds;
  return read_audio(path, out, options, error);
}

int read_wav(const char *path, WavData *out) { return read_audio_file(path, out, 0, nullptr); }

namespace {

// The 44-byte header of a 16-bit PCM WAV file.
void fill_header(unsigned char *header, uint64_t data_bytes, int channels, uint32_t rate) {
  memcpy(header, "RIFF", 4);
  put_u32(header + 4, static_cast<uint32_t>(data_bytes + kWavHeaderBytes - 8));
  memcpy(header + 8, "WAVEfmt ", 8);
  put_u32(header + 16, kFmtBytes);
  put_u16(header + 20, 1);
  put_u16(header + 22, static_cast<uint32_t>(channels));
  put_u32(header + 24, rate);
  put_u32(header + 28, static_cast<uint32_t>(static_cast<uint64_t>(rate) * channels * 2));
  put_u16(header + 32, static_cast<uint32_t>(channels) * 2);
  put_u16(header + 34, 16);
  memcpy(header + 36, "data", 4);
  put_u32(header + 40, static_cast<uint32_t>(data_bytes));
}

// Writes the samples in blocks; false with errno set when a write fails.
bool write_samples(FILE *f, const WavData *in) {
  unsigned char block[2 * kWriteBlockSamples];
  for (int32_t start = 0; start < in->total_samples; start += kWriteBlockSamples) {
    int32_t n = std::min(in->total_samples - start, kWriteBlockSamples);
    for (int32_t i = 0; i < n; i++)
      put_u16(block + 2 * i, static_cast<uint16_t>(to_pcm16(in->samples[start + i])));
    if (fwrite(block, 1, 2 * static_cast<size_t>(n), f) != 2 * static_cast<size_t>(n)) return false;
  }
  return true;
}

}  // namespace

// The writer stays hand-made: its header layout and its truncating
// conversion are what every earlier result was written with.
int write_wav(const char *path, const WavData *in, std::string *error) {
  if (!path || !in || !in->samples || in->total_samples <= 0)
    return fail(error, "no output path or no samples to write");
  uint64_t data_bytes = 2 * static_cast<uint64_t>(in->total_samples);
  if (data_bytes + kWavHeaderBytes - 8 > std::numeric_limits<uint32_t>::max())
    return fail(error, std::string("too many samples for a WAV file: ") + path);
  FILE *f = fopen(path, "wb");
  if (!f) return fail(error, system_reason("cannot create", path, errno));

  const int channels = in->channels > 0 ? in->channels : 1;
  unsigned char header[kWavHeaderBytes];
  fill_header(header, data_bytes, channels, static_cast<uint32_t>(in->sample_rate));
  errno = 0;
  bool ok = fwrite(header, 1, sizeof(header), f) == sizeof(header) && write_samples(f, in);
  int write_errno = errno;
  // fclose flushes the stdio buffer, so a full disk may show up only here.
  if (fclose(f) != 0 && ok) {
    ok = false;
    write_errno = errno;
  }
  if (!ok) return fail(error, system_reason("cannot write", path, write_errno ? write_errno : EIO));
  log_line(kLogInfo, "[audio_io] Wrote %s: %d frames, %d Hz, %d ch\n", path, in->frames,
           in->sample_rate, channels);
  return 0;
}

void free_wav(WavData *wav) {
  if (wav && wav->samples) {
    free(wav->samples);
    wav->samples = nullptr;
    wav->total_samples = 0;
  }
}
