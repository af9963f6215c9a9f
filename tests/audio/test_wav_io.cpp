#include "audio/wav_io.h"
#include "support/archive_fixture.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace {

std::string u16(uint16_t v) { return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)}; }

std::string u32(uint32_t v) {
  return u16(static_cast<uint16_t>(v)) + u16(static_cast<uint16_t>(v >> 16));
}

std::string chunk(const std::string &id, const std::string &body) {
  return id + u32(static_cast<uint32_t>(body.size())) + body;
}

std::string fmt(uint16_t channels = 1, uint32_t rate = 22050, uint16_t bits = 16,
                uint16_t tag = 1) {
  uint16_t align = static_cast<uint16_t>(channels * bits / 8);
  return chunk("fmt ",
               u16(tag) + u16(channels) + u32(rate) + u32(rate * align) + u16(align) + u16(bits));
}

std::string pcm(const std::vector<int16_t> &values) {
  std::string bytes;
  for (int16_t v : values) bytes += u16(static_cast<uint16_t>(v));
  return bytes;
}

std::string riff(const std::string &chunks) {
  return "RIFF" + u32(static_cast<uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
}

struct ReadResult {
  int status;
  WavData wav;
  std::string error;
  std::string log;
};

ReadResult read_path(const std::string &path, double max_seconds = 0) {
  ReadResult r{};
  testing::internal::CaptureStderr();
  r.status = read_audio_file(path.c_str(), &r.wav, max_seconds, &r.error);
  r.log = testing::internal::GetCapturedStderr();
  return r;
}

ReadResult read_bytes(const std::string &bytes, const fixture::TempDir &dir) {
  std::string path = dir.file("in.wav");
  fixture::write_file(path, bytes);
  return read_path(path);
}

ReadResult read_bytes(const std::string &bytes) { return read_bytes(bytes, fixture::TempDir()); }

// A recording written by libsndfile itself in the given major and sample
// format. Integer formats take the samples as 32-bit ints (the top bits are
// what a narrower format keeps), float formats as floats.
struct Recording {
  int format;
  int rate;
  int channels;
  std::vector<int32_t> ints;
  std::vector<float> floats;
};

void write_recording(const std::string &path, const Recording &recording) {
  SF_INFO info{};
  info.samplerate = recording.rate;
  info.channels = recording.channels;
  info.format = recording.format;
  ASSERT_TRUE(sf_format_check(&info)) << std::hex << recording.format;
  SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  if (!recording.ints.empty())
    EXPECT_EQ(sf_write_int(file, recording.ints.data(), recording.ints.size()),
              static_cast<sf_count_t>(recording.ints.size()));
  else
    EXPECT_EQ(sf_write_float(file, recording.floats.data(), recording.floats.size()),
              static_cast<sf_count_t>(recording.floats.size()));
  sf_close(file);
}

// A 440 Hz tone at half scale, interleaved over the channels (the second
// channel a quarter turn behind), as 32-bit ints.
std::vector<int32_t> tone(int frames, int rate, int channels) {
  std::vector<int32_t> values;
  for (int i = 0; i < frames; i++)
    for (int c = 0; c < channels; c++)
      values.push_back(static_cast<int32_t>(
          std::lround(0.5 * std::sin(2 * M_PI * 440.0 * i / rate + c * M_PI / 2) * 2147483647.0)));
  return values;
}

std::vector<float> as_floats(const std::vector<int32_t> &ints) {
  std::vector<float> floats;
  for (int32_t v : ints) floats.push_back(static_cast<float>(v / 2147483648.0));
  return floats;
}

double rms(const float *values, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; i++) sum += static_cast<double>(values[i]) * values[i];
  return std::sqrt(sum / static_cast<double>(n));
}

bool format_supported(int format) {
  SF_INFO info{};
  info.samplerate = 48000;
  info.channels = 1;
  info.format = format;
  return sf_format_check(&info);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct WriteResult {
  int status;
  std::string bytes;
  std::string log;
};

WriteResult write_samples(std::vector<float> samples, int channels = 1, int rate = 24000,
                          int frames = -1) {
  fixture::TempDir dir;
  std::string path = dir.file("out.wav");
  WavData wav{samples.data(), static_cast<int32_t>(samples.size()), rate, channels,
              frames >= 0 ? frames : static_cast<int32_t>(samples.size())};
  WriteResult r{};
  testing::internal::CaptureStderr();
  r.status = write_wav(path.c_str(), &wav);
  r.log = testing::internal::GetCapturedStderr();
  r.bytes = read_file(path);
  return r;
}

uint32_t get_u32(const std::string &b, size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
         static_cast<uint8_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

uint16_t get_u16(const std::string &b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

int16_t sample_at(const std::string &b, int i) {
  return static_cast<int16_t>(get_u16(b, 44 + 2 * i));
}

}  // namespace

// Every common kind of reference, written by libsndfile and read back. Exact
// formats must give their samples bit for bit: 16-bit as x / 32768, 24-bit
// as x / 2^23, floats as stored. Lossy ones must keep the tone's level.
TEST(ReadAudioFile, ReferenceFormats) {
  constexpr int kFrames = 4800;
  struct Case {
    const char *name;
    int format;
    int rate;
    int channels;
    bool lossy;
    bool floats;
  } cases[] = {
      {"WAV 16-bit", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 1, false, false},
      {"WAV 24-bit", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100, 1, false, false},
      {"WAV 32-bit int", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 44100, 1, false, false},
      {"WAV 32-bit float", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 1, false, true},
      {"WAV 64-bit float", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 24000, 1, false, true},
      {"WAVE_FORMAT_EXTENSIBLE 24-bit", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 48000, 1, false, false},
      {"WAVE_FORMAT_EXTENSIBLE float stereo", SF_FORMAT_WAVEX | SF_FORMAT_FLOAT, 48000, 2, false,
       true},
      {"FLAC 16-bit", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, false, false},
      {"FLAC 24-bit stereo", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 2, false, false},
      {"AIFF 16-bit", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 22050, 1, false, false},
      {"WAV 16-bit 8 kHz", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, false, false},
      {"WAV 16-bit 48 kHz stereo", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, false, false},
      {"Ogg Vorbis", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 1, true, true},
      {"Ogg Opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 2, true, true},
      {"MP3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 1, true, true},
  };
  fixture::TempDir dir;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    // Debian's libsndfile 1.2 reads and writes all of these; a build
    // without a codec says so here rather than failing obscurely below.
    ASSERT_TRUE(format_supported(c.format));
    std::vector<int32_t> ints = tone(kFrames, c.rate, c.channels);
    int bits = 32;
    if ((c.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) bits = 16;
    if ((c.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_24) bits = 24;
    for (int32_t &v : ints)
      v = static_cast<int32_t>(static_cast<uint32_t>(v) & ~((1u << (32 - bits)) - 1u));
    Recording recording{c.format, c.rate, c.channels, {}, {}};
    if (c.floats)
      recording.floats = as_floats(ints);
    else
      recording.ints = ints;
    std::string path = dir.file("reference");
    write_recording(path, recording);

    ReadResult r = read_path(path);
    ASSERT_EQ(r.status, 0) << r.error;
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.wav.sample_rate, c.rate);
    EXPECT_EQ(r.wav.channels, c.channels);
    EXPECT_EQ(r.wav.total_samples, r.wav.frames * c.channels);
    if (c.lossy) {
      // Codecs add priming frames and smear the edges: compare levels.
      EXPECT_NEAR(r.wav.frames, kFrames, 2048);
      double expected = 0.5 / std::sqrt(2.0);
      EXPECT_NEAR(rms(r.wav.samples, r.wav.total_samples), expected, 0.1 * expected);
    } else {
      ASSERT_EQ(r.wav.frames, kFrames);
      for (int i = 0; i < r.wav.total_samples; i++)
        ASSERT_EQ(r.wav.samples[i], static_cast<float>(ints[i] / 2147483648.0)) << i;
    }
    EXPECT_EQ(r.log, "[audio_io] Read " + path + ": " + std::to_string(r.wav.frames) + " frames, " +
                         std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " ch\n");
    free_wav(&r.wav);
    EXPECT_EQ(r.wav.samples, nullptr);
  }
}

// 16-bit PCM WAV layouts read exactly as the earlier hand-written reader
// read them.
TEST(ReadAudioFile, SixteenBitWavLayouts) {
  std::vector<int16_t> ramp(22050);
  for (int i = 0; i < 22050; i++) ramp[i] = static_cast<int16_t>(i - 11025);
  std::string list_odd = chunk("LIST", "INFOabc");  // 7 bytes
  struct Case {
    const char *name;
    std::string bytes;
    int total, frames, rate, channels;
    std::vector<float> first;  // leading samples expected
  } cases[] = {
      {"mono 22050 frames",
       riff(fmt() + chunk("data", pcm(ramp))),
       22050,
       22050,
       22050,
       1,
       {-11025 / 32768.0f, -11024 / 32768.0f}},
      {"stereo interleaved",
       riff(fmt(2, 44100) + chunk("data", pcm({1, -1, 2, -2}))),
       4,
       2,
       44100,
       2,
       {1 / 32768.0f, -1 / 32768.0f, 2 / 32768.0f, -2 / 32768.0f}},
      {"exact conversions",
       riff(fmt() + chunk("data", pcm({-32768, 16384, 32767, 0}))),
       4,
       4,
       22050,
       1,
       {-1.0f, 0.5f, 32767 / 32768.0f, 0.0f}},
      {"18-byte fmt with extension size",
       riff(chunk("fmt ", fmt().substr(8) + u16(0)) + chunk("data", pcm({7, 8}))),
       2,
       2,
       22050,
       1,
       {7 / 32768.0f, 8 / 32768.0f}},
      {"LIST chunk skipped",
       riff(fmt() + chunk("LIST", "INFOab") + chunk("data", pcm({5}))),
       1,
       1,
       22050,
       1,
       {5 / 32768.0f}},
      {"odd LIST chunk with pad byte",
       riff(fmt() + list_odd + std::string(1, '\0') + chunk("data", pcm({5, 6}))),
       2,
       2,
       22050,
       1,
       {5 / 32768.0f, 6 / 32768.0f}},
      {"LIST after data",
       riff(fmt() + chunk("data", pcm({4, 3})) + chunk("LIST", "INFO")),
       2,
       2,
       22050,
       1,
       {4 / 32768.0f, 3 / 32768.0f}},
      {"fmt after a chunk with an empty body",
       riff(chunk("junk", "") + fmt(1, 16000) + chunk("data", pcm({3}))),
       1,
       1,
       16000,
       1,
       {3 / 32768.0f}},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.name);
    ReadResult r = read_bytes(c.bytes);
    ASSERT_EQ(r.status, 0) << r.error;
    ASSERT_NE(r.wav.samples, nullptr);
    EXPECT_EQ(r.wav.total_samples, c.total);
    EXPECT_EQ(r.wav.frames, c.frames);
    EXPECT_EQ(r.wav.sample_rate, c.rate);
    EXPECT_EQ(r.wav.channels, c.channels);
    for (size_t i = 0; i < c.first.size(); i++) EXPECT_EQ(r.wav.samples[i], c.first[i]) << i;
    free_wav(&r.wav);
    EXPECT_EQ(r.wav.samples, nullptr);
    EXPECT_EQ(r.wav.total_samples, 0);
  }
}

// A FLAC file whose header claims an hour of audio but holds 100 ms: only
// the header can say it is too long, so a refusal shows that the length is
// judged before anything is decoded or allocated for it. A header that does
// not know the length is judged while decoding.
TEST(ReadAudioFile, LengthLimit) {
  fixture::TempDir dir;
  std::string flac = dir.file("claims_an_hour.flac");
  write_recording(flac, {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1, tone(4800, 48000, 1), {}});
  std::string bytes = read_file(flac);
  ASSERT_EQ(bytes.substr(0, 4), "fLaC");
  const uint64_t hour = 48000ull * 3600;  // 36 bits, from the low nibble of byte 21
  bytes[21] = static_cast<char>((bytes[21] & 0xf0) | ((hour >> 32) & 0x0f));
  for (int i = 0; i < 4; i++) bytes[22 + i] = static_cast<char>(hour >> (24 - 8 * i));
  fixture::write_file(flac, bytes);
  // A total of 0 says "unknown": only decoding can tell.
  std::string unknown = dir.file("unknown_length.flac");
  bytes[21] = static_cast<char>(bytes[21] & 0xf0);
  for (int i = 0; i < 4; i++) bytes[22 + i] = 0;
  fixture::write_file(unknown, bytes);

  std::string wav = dir.file("ten_seconds.wav");
  write_recording(wav,
                  {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, std::vector<int32_t>(80000), {}});

  struct Case {
    const char *name;
    std::string path;
    double max_seconds;
    int frames;  // 0: refused
    std::string error;
  } cases[] = {
      {"header past the limit", flac, 600, 0,
       flac + " lasts 3600.0 s; a reference may last at most 600 s"},
      {"no limit: what the file holds", flac, 0, 4800, ""},
      {"unknown length past the limit", unknown, 0.05, 0,
       unknown + " lasts more than 0.05 s, the most a reference may last"},
      {"unknown length within the limit", unknown, 0.1, 4800, ""},
      {"ten seconds, five allowed", wav, 5, 0,
       wav + " lasts 10.0 s; a reference may last at most 5 s"},
      {"ten seconds, ten allowed", wav, 10, 80000, ""},
      {"ten seconds, no limit", wav, -1, 80000, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ReadResult r = read_path(c.path, c.max_seconds);
    EXPECT_EQ(r.error, c.error);
    if (c.frames == 0) {
      EXPECT_EQ(r.status, -1);
      EXPECT_EQ(r.wav.samples, nullptr);
      EXPECT_EQ(r.log, "");  // the caller reports the reason it asked for
    } else {
      ASSERT_EQ(r.status, 0);
      EXPECT_EQ(r.wav.frames, c.frames);
      free_wav(&r.wav);
    }
  }
}

// A reference's decoding is bounded by what it is used for, not by what its
// header claims: a small file of silence at a high rate or with many
// channels once asked for gigabytes.
TEST(ReadAudio, BoundsOnRateChannelsAndSeconds) {
  fixture::TempDir dir;
  struct Case {
    const char *name;
    int rate, channels, frames;
    AudioReadOptions options;
    int status, frames_read, channels_read;
    const char *error_part;
  };
  auto options = [](double max_seconds, double read_seconds, bool mono) {
    AudioReadOptions o;
    o.max_seconds = max_seconds;
    o.read_seconds = read_seconds;
    o.mono = mono;
    return o;
  };
  const Case cases[] = {
      {"rate above the cap", 384000, 1, 3840, options(600, 0, true), -1, 0, 0, "at most 192000 Hz"},
      {"channels above the cap", 8000, 17, 800, options(600, 0, true), -1, 0, 0, "16 channels"},
      {"at the caps", 192000, 16, 1920, options(600, 0, true), 0, 1920, 1, ""},
      {"mono keeps one channel", 8000, 8, 4000, options(600, 0, true), 0, 4000, 1, ""},
      {"interleaved without mono", 8000, 3, 4000, options(600, 0, false), 0, 4000, 3, ""},
      {"read seconds stop decoding", 8000, 2, 8000, options(600, 0.25, true), 0, 2000, 1, ""},
      {"read seconds past the end", 8000, 1, 800, options(600, 5, true), 0, 800, 1, ""},
      {"longer than max by its header", 8000, 2, 8001, options(1, 0.5, true), -1, 0, 0,
       "lasts 1.0 s"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(std::string(c.name) + ".wav");
    write_recording(path, {SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                           c.rate,
                           c.channels,
                           tone(c.frames, c.rate, c.channels),
                           {}});
    WavData wav{};
    std::string error;
    EXPECT_EQ(read_audio(path.c_str(), &wav, c.options, &error), c.status);
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    EXPECT_EQ(wav.frames, c.frames_read);
    EXPECT_EQ(wav.channels, c.channels_read);
    EXPECT_EQ(wav.total_samples, c.frames_read * c.channels_read);
    free_wav(&wav);
  }
}

// Mono is the frame-by-frame mean of the channels, as decoded.
TEST(ReadAudio, MonoIsTheMeanOfTheChannels) {
  fixture::TempDir dir;
  const std::string path = dir.file("stereo.wav");
  const std::vector<float> frames = {0.5f, -0.25f, 1.0f, 0.0f, -0.75f, -0.25f, 0.125f, 0.375f};
  write_recording(path, {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 16000, 2, {}, frames});
  AudioReadOptions options;
  options.mono = true;
  WavData wav{};
  std::string error;
  ASSERT_EQ(read_audio(path.c_str(), &wav, options, &error), 0) << error;
  ASSERT_EQ(wav.frames, 4);
  const float expected[] = {0.125f, 0.5f, -0.5f, 0.25f};
  for (int i = 0; i < 4; i++) EXPECT_EQ(wav.samples[i], expected[i]) << i;
  free_wav(&wav);
}

TEST(ReadAudioFile, RefusedFiles) {
  fixture::TempDir dir;
  auto file = [&](const std::string &name, const std::string &bytes) {
    std::string path = dir.file(name);
    fixture::write_file(path, bytes);
    return path;
  };
  std::string text = file("notes.txt", "this is a text file, not a recording\n");
  std::string empty = file("empty.wav", "");
  std::string one_byte = file("one_byte.wav", riff(fmt() + chunk("data", "x")));
  std::string nan = dir.file("nan.wav");
  write_recording(nan,
                  {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 24000, 1, {}, {0.5f, std::nanf(""), 0.1f}});
  std::string inf = dir.file("inf.wav");
  write_recording(inf, {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 24000, 1, {}, {INFINITY}});
  struct Case {
    const char *name;
    std::string path;
    std::string error;  // the whole message, or its start when it ends in "..."
  } cases[] = {
      {"missing file", dir.file("missing.wav"),
       "cannot open " + dir.file("missing.wav") + ": No such file or directory"},
      {"a file as a folder", text + "/x.wav", "cannot open " + text + "/x.wav: Not a directory"},
      {"a folder", dir.file(""), "cannot read " + dir.file("") + ": Is a directory"},
      {"text", text, text + " is not an audio file libsndfile reads: ..."},
      {"empty file", empty, empty + " is not an audio file libsndfile reads: ..."},
      {"data chunk of one byte", one_byte, one_byte + " holds no samples"},
      {"NaN sample", nan, nan + " holds samples that are not finite numbers"},
      {"infinite sample", inf, inf + " holds samples that are not finite numbers"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ReadResult r = read_path(c.path);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.wav.samples, nullptr);
    EXPECT_EQ(r.wav.total_samples, 0);
    const std::string &e = c.error;
    if (e.size() > 3 && e.compare(e.size() - 3, 3, "...") == 0) {
      EXPECT_EQ(r.error.rfind(e.substr(0, e.size() - 3), 0), 0u) << r.error;
      EXPECT_GT(r.error.size(), e.size()) << "libsndfile's reason is missing: " << r.error;
    } else {
      EXPECT_EQ(r.error, e);
    }
  }
}

TEST(ReadAudioFile, BadArgumentsAndTheLoggingWrapper) {
  WavData wav;
  std::string error;
  EXPECT_EQ(read_audio_file(nullptr, &wav, 0, &error), -1);
  EXPECT_EQ(wav.samples, nullptr);
  EXPECT_NE(error, "");
  EXPECT_EQ(read_audio_file("x.wav", nullptr, 0, &error), -1);

  // Without an error string the reason is logged, as read_wav does.
  fixture::TempDir dir;
  std::string missing = dir.file("missing.wav");
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_wav(missing.c_str(), &wav), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[audio_io] cannot open " + missing + ": No such file or directory\n");
  EXPECT_EQ(wav.samples, nullptr);
  free_wav(nullptr);
}

// Every single-byte corruption and every truncation of a small file must end
// in a clean 0 or -1 with a consistent record (and, under the sanitizer
// build, no read outside the file's bytes).
TEST(ReadAudioFile, CorruptedFilesFailCleanly) {
  std::string good = riff(fmt(2) + chunk("LIST", "INFOabc") + std::string(1, '\0') +
                          chunk("data", pcm({1, 2, 3, 4, 5, 6})) + chunk("LIST", "INFO"));
  std::vector<std::string> variants;
  for (size_t len = 0; len < good.size(); len++) variants.push_back(good.substr(0, len));
  for (size_t at = 0; at < good.size(); at++)
    for (unsigned char v : {0x00, 0x01, 0x7f, 0x80, 0xff}) {
      std::string b = good;
      b[at] = static_cast<char>(v);
      variants.push_back(b);
    }
  fixture::TempDir dir;
  for (size_t i = 0; i < variants.size(); i++) {
    SCOPED_TRACE(i);
    ReadResult r = read_bytes(variants[i], dir);
    ASSERT_TRUE(r.status == 0 || r.status == -1);
    if (r.status == 0) {
      ASSERT_NE(r.wav.samples, nullptr);
      EXPECT_GT(r.wav.total_samples, 0);
      EXPECT_EQ(r.wav.total_samples, r.wav.frames * r.wav.channels);
      for (int s = 0; s < r.wav.total_samples; s++) ASSERT_TRUE(std::isfinite(r.wav.samples[s]));
      free_wav(&r.wav);
    } else {
      EXPECT_EQ(r.wav.samples, nullptr);
      EXPECT_NE(r.error, "");
    }
  }
}

TEST(WriteWav, SampleConversion) {
  struct Case {
    const char *name;
    float in;
    int16_t out;
  } cases[] = {
      {"1.5 clamps", 1.5f, 32767},
      {"-2.0 clamps", -2.0f, -32767},
      {"0.5 truncates", 0.5f, 16383},
      {"-0.5 truncates", -0.5f, -16383},
      {"1.0", 1.0f, 32767},
      {"-1.0", -1.0f, -32767},
      {"zero", 0.0f, 0},
      {"NaN writes silence", std::nanf(""), 0},
      {"+inf clamps", INFINITY, 32767},
      {"-inf clamps", -INFINITY, -32767},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    WriteResult r = write_samples({c.in});
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.bytes.size(), 46u);
    EXPECT_EQ(sample_at(r.bytes, 0), c.out);
  }
}

TEST(WriteWav, Header) {
  struct Case {
    const char *name;
    int channels;
    int rate;
    int samples;
    uint16_t ch, align;
    uint32_t byte_rate;
  } cases[] = {
      {"mono 24 kHz", 1, 24000, 5, 1, 2, 48000},
      {"zero channels write one", 0, 24000, 3, 1, 2, 48000},
      {"negative channels write one", -2, 16000, 3, 1, 2, 32000},
      {"stereo", 2, 44100, 4, 2, 4, 176400},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    WriteResult r = write_samples(std::vector<float>(c.samples, 0.25f), c.channels, c.rate);
    ASSERT_EQ(r.status, 0);
    const std::string &b = r.bytes;
    ASSERT_EQ(b.size(), 44u + 2 * c.samples);
    EXPECT_EQ(b.substr(0, 4), "RIFF");
    EXPECT_EQ(get_u32(b, 4), b.size() - 8);
    EXPECT_EQ(b.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(get_u32(b, 16), 16u);
    EXPECT_EQ(get_u16(b, 20), 1);
    EXPECT_EQ(get_u16(b, 22), c.ch);
    EXPECT_EQ(get_u32(b, 24), static_cast<uint32_t>(c.rate));
    EXPECT_EQ(get_u32(b, 28), c.byte_rate);
    EXPECT_EQ(get_u16(b, 32), c.align);
    EXPECT_EQ(get_u16(b, 34), 16);
    EXPECT_EQ(b.substr(36, 4), "data");
    EXPECT_EQ(get_u32(b, 40), 2u * c.samples);
  }
}

// Large enough to span several write blocks, with the last one partial.
TEST(WriteWav, ManyBlocksRoundTrip) {
  const int n = 3 * 8192 + 77;
  std::vector<float> samples(n);
  for (int i = 0; i < n; i++) samples[i] = std::sin(0.01f * i) * 0.9f;
  fixture::TempDir dir;
  std::string path = dir.file("long.wav");
  WavData out{samples.data(), n, 24000, 1, n};
  testing::internal::CaptureStderr();
  ASSERT_EQ(write_wav(path.c_str(), &out), 0);
  WavData in;
  ASSERT_EQ(read_wav(path.c_str(), &in), 0);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(
      log.find("[audio_io] Wrote " + path + ": " + std::to_string(n) + " frames, 24000 Hz, 1 ch\n"),
      std::string::npos);
  ASSERT_EQ(in.total_samples, n);
  EXPECT_EQ(in.sample_rate, 24000);
  for (int i = 0; i < n; i++) {
    float expected = static_cast<int16_t>(samples[i] * 32767.0f) / 32768.0f;
    ASSERT_EQ(in.samples[i], expected) << i;
  }
  free_wav(&in);
}

TEST(WriteWav, LogReportsTheRecordsFrames) {
  WriteResult r = write_samples({0.1f, 0.2f, 0.3f, 0.4f}, 2, 24000, 2);
  EXPECT_NE(r.log.find(": 2 frames, 24000 Hz, 2 ch\n"), std::string::npos) << r.log;
}

TEST(WriteWav, Failures) {
  float one = 0.0f;
  WavData ok{&one, 1, 24000, 1, 1};
  WavData no_samples{nullptr, 1, 24000, 1, 1};
  WavData empty{&one, 0, 24000, 1, 0};
  // Checked before a single sample is read, so one float stands in for them.
  WavData too_long{&one, std::numeric_limits<int32_t>::max(), 24000, 1, 0};
  fixture::TempDir dir;
  std::string path = dir.file("x.wav");
  std::vector<float> big(50000, 0.5f);
  WavData big_wav{big.data(), static_cast<int32_t>(big.size()), 24000, 1,
                  static_cast<int32_t>(big.size())};
  const std::string no_input = "no output path or no samples to write";
  struct Case {
    const char *name;
    const char *path;
    const WavData *wav;
    std::string error;
  } cases[] = {
      {"null path", nullptr, &ok, no_input},
      {"null record", path.c_str(), nullptr, no_input},
      {"no samples", path.c_str(), &no_samples, no_input},
      {"zero samples", path.c_str(), &empty, no_input},
      {"folder missing", "/nonexistent-vclone/dir.wav", &ok,
       "cannot create /nonexistent-vclone/dir.wav: No such file or directory"},
      {"a folder", "/tmp", &ok, "cannot create /tmp: Is a directory"},
      {"more samples than a WAV holds", path.c_str(), &too_long,
       "too many samples for a WAV file: " + path},
      {"full disk, short file", "/dev/full", &ok,
       "cannot write /dev/full: No space left on device"},
      {"full disk, long file", "/dev/full", &big_wav,
       "cannot write /dev/full: No space left on device"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_wav(c.path, c.wav, &error), -1);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // Without an error string, the same reason is logged.
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_wav(c.path, c.wav), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[audio_io] " + c.error + "\n");
  }
}
