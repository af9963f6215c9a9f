#include "audio/wav_io.h"
#include "util/log.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sys/types.h>

namespace {

constexpr size_t kRiffHeaderBytes = 12;
constexpr size_t kChunkHeaderBytes = 8;
constexpr size_t kFmtBytes = 16;
constexpr size_t kWavHeaderBytes = 44;
constexpr int kWriteBlockSamples = 8192;

uint16_t get_u16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t get_u32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put_u16(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put_u32(unsigned char *p, uint32_t v) {
  put_u16(p, v);
  put_u16(p + 2, v >> 16);
}

bool printable_id(const unsigned char *p) {
  for (int i = 0; i < 4; i++)
    if (p[i] < 0x20 || p[i] > 0x7e) return false;
  return true;
}

// A file read with its size known up front, so that no size field in it can
// send a read, a seek or an allocation past its end.
struct BoundedFile {
  FILE *f = nullptr;
  int64_t size = 0;
  int64_t pos = 0;

  int64_t remaining() const { return size - pos; }

  bool read(void *dst, uint64_t n) {
    if (n > static_cast<uint64_t>(remaining())) return false;
    if (fread(dst, 1, n, f) != n) return false;
    pos += static_cast<int64_t>(n);
    return true;
  }

  bool skip(uint64_t n) {
    if (n > static_cast<uint64_t>(remaining())) return false;
    if (fseeko(f, static_cast<off_t>(pos + static_cast<int64_t>(n)), SEEK_SET) != 0) return false;
    pos += static_cast<int64_t>(n);
    return true;
  }

  // A chunk of odd length should be followed by a zero pad byte, but some
  // writers leave it out. Skip it only when a plausible chunk header follows.
  void skip_pad_byte() {
    unsigned char next[5];
    if (remaining() < 5 || fread(next, 1, 5, f) != 5) {
      fseeko(f, static_cast<off_t>(pos), SEEK_SET);
      return;
    }
    if (next[0] == 0 && printable_id(next + 1)) pos += 1;
    fseeko(f, static_cast<off_t>(pos), SEEK_SET);
  }
};

struct FmtRecord {
  uint16_t format_tag = 0;
  uint16_t channels = 0;
  uint32_t sample_rate = 0;
  uint16_t bits_per_sample = 0;
};

bool supported(bool seen, const FmtRecord &fmt) {
  return seen && fmt.format_tag == 1 && fmt.bits_per_sample == 16 && fmt.sample_rate > 0 &&
         fmt.sample_rate <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max());
}

int16_t to_pcm16(float x) {
  if (std::isnan(x)) return 0;
  if (x > 1.0f) x = 1.0f;
  if (x < -1.0f) x = -1.0f;
  return static_cast<int16_t>(x * 32767.0f);
}

// Parses the chunk list. On success *pcm holds the last data chunk (malloc'ed),
// *pcm_bytes its length and *data_fmt the format it was checked against, which a
// later "fmt " chunk does not change; on failure the line has been written.
int read_chunks(BoundedFile &file, const char *path, FmtRecord *data_fmt, unsigned char **pcm,
                uint32_t *pcm_bytes) {
  FmtRecord fmt;
  bool fmt_seen = false;
  unsigned char header[kChunkHeaderBytes];
  // A few trailing bytes too short for a header are tolerated, as after an
  // odd data chunk whose pad byte ends the file.
  while (file.remaining() >= static_cast<int64_t>(kChunkHeaderBytes) &&
         file.read(header, kChunkHeaderBytes)) {
    uint32_t count = get_u32(header + 4);
    if (count > file.remaining()) {
      log_line(kLogWarn, "[audio_io] Chunk runs past the end of the file: %s\n", path);
      return -1;
    }
    if (memcmp(header, "fmt ", 4) == 0) {
      unsigned char raw[kFmtBytes] = {0};
      uint32_t n = count < kFmtBytes ? count : kFmtBytes;
      if (!file.read(raw, n) || !file.skip(count - n)) break;
      fmt.format_tag = get_u16(raw);
      fmt.channels = get_u16(raw + 2);
      fmt.sample_rate = get_u32(raw + 4);
      fmt.bits_per_sample = get_u16(raw + 14);
      fmt_seen = true;
    } else if (memcmp(header, "data", 4) == 0) {
      if (!supported(fmt_seen, fmt)) {
        log_line(kLogWarn, "[audio_io] Unsupported format (need 16-bit PCM): %s\n", path);
        return -1;
      }
      free(*pcm);
      *pcm = nullptr;
      *pcm_bytes = 0;
      *data_fmt = fmt;
      if (count > 0) {
        *pcm = static_cast<unsigned char *>(malloc(count));
        if (!*pcm || !file.read(*pcm, count)) return -1;
        *pcm_bytes = count;
      }
    } else if (!file.skip(count)) {
      break;
    }
    if (count % 2 == 1) file.skip_pad_byte();
  }
  return 0;
}

}  // namespace

int read_wav(const char *path, WavData *out) {
  if (!path || !out) return -1;
  memset(out, 0, sizeof(*out));
  BoundedFile file;
  file.f = fopen(path, "rb");
  if (!file.f || fseeko(file.f, 0, SEEK_END) != 0 || (file.size = ftello(file.f)) < 0 ||
      fseeko(file.f, 0, SEEK_SET) != 0) {
    log_line(kLogWarn, "[audio_io] Cannot open: %s\n", path);
    if (file.f) fclose(file.f);
    return -1;
  }

  unsigned char riff[kRiffHeaderBytes];
  if (!file.read(riff, kRiffHeaderBytes) || memcmp(riff, "RIFF", 4) != 0 ||
      memcmp(riff + 8, "WAVE", 4) != 0) {
    log_line(kLogWarn, "[audio_io] Not a WAV file: %s\n", path);
    fclose(file.f);
    return -1;
  }

  FmtRecord fmt;
  unsigned char *pcm = nullptr;
  uint32_t pcm_bytes = 0;
  int status = read_chunks(file, path, &fmt, &pcm, &pcm_bytes);
  fclose(file.f);
  if (status != 0) {
    free(pcm);
    return -1;
  }

  int32_t count = static_cast<int32_t>(pcm_bytes / 2);
  if (!pcm || count == 0) {
    log_line(kLogWarn, "[audio_io] No data chunk found: %s\n", path);
    free(pcm);
    return -1;
  }
  float *samples = static_cast<float *>(malloc(sizeof(float) * static_cast<size_t>(count)));
  if (!samples) {
    free(pcm);
    return -1;
  }
  for (int32_t i = 0; i < count; i++)
    samples[i] = static_cast<float>(static_cast<int16_t>(get_u16(pcm + 2 * i))) * (1.0f / 32768.0f);
  free(pcm);

  out->samples = samples;
  out->channels = fmt.channels;
  out->total_samples = count;
  out->sample_rate = static_cast<int32_t>(fmt.sample_rate);
  out->frames = count / (fmt.channels > 0 ? fmt.channels : 1);
  log_line(kLogInfo, "[audio_io] Read %s: %d frames, %d Hz, %d ch\n", path, out->frames,
          out->sample_rate, out->channels);
  return 0;
}

int write_wav(const char *path, const WavData *in) {
  if (!path || !in || !in->samples || in->total_samples <= 0) return -1;
  uint64_t data_bytes = 2 * static_cast<uint64_t>(in->total_samples);
  if (data_bytes + kWavHeaderBytes - 8 > std::numeric_limits<uint32_t>::max()) {
    log_line(kLogWarn, "[audio_io] Too many samples for a WAV file: %s\n", path);
    return -1;
  }
  FILE *f = fopen(path, "wb");
  if (!f) {
    log_line(kLogWarn, "[audio_io] Cannot create: %s\n", path);
    return -1;
  }

  int ch = in->channels > 0 ? in->channels : 1;
  uint32_t rate = static_cast<uint32_t>(in->sample_rate);
  unsigned char header[kWavHeaderBytes];
  memcpy(header, "RIFF", 4);
  put_u32(header + 4, static_cast<uint32_t>(data_bytes + kWavHeaderBytes - 8));
  memcpy(header + 8, "WAVEfmt ", 8);
  put_u32(header + 16, kFmtBytes);
  put_u16(header + 20, 1);
  put_u16(header + 22, static_cast<uint32_t>(ch));
  put_u32(header + 24, rate);
  put_u32(header + 28, static_cast<uint32_t>(static_cast<uint64_t>(rate) * ch * 2));
  put_u16(header + 32, static_cast<uint32_t>(ch) * 2);
  put_u16(header + 34, 16);
  memcpy(header + 36, "data", 4);
  put_u32(header + 40, static_cast<uint32_t>(data_bytes));
  bool ok = fwrite(header, 1, sizeof(header), f) == sizeof(header);

  unsigned char block[2 * kWriteBlockSamples];
  for (int32_t start = 0; ok && start < in->total_samples; start += kWriteBlockSamples) {
    int32_t n = in->total_samples - start;
    if (n > kWriteBlockSamples) n = kWriteBlockSamples;
    for (int32_t i = 0; i < n; i++)
      put_u16(block + 2 * i, static_cast<uint16_t>(to_pcm16(in->samples[start + i])));
    ok = fwrite(block, 1, 2 * static_cast<size_t>(n), f) == 2 * static_cast<size_t>(n);
  }
  // fclose flushes the stdio buffer, so a full disk may show up only here.
  if (fclose(f) != 0) ok = false;
  if (!ok) {
    log_line(kLogWarn, "[audio_io] Write failed: %s\n", path);
    return -1;
  }
  log_line(kLogInfo, "[audio_io] Wrote %s: %d frames, %d Hz, %d ch\n", path, in->frames,
          in->sample_rate, ch);
  return 0;
}

void free_wav(WavData *wav) {
  if (wav && wav->samples) {
    free(wav->samples);
    wav->samples = nullptr;
    wav->total_samples = 0;
  }
}
