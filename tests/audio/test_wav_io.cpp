#include "audio/wav_io.h"
#include "support/archive_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace {

std::string u16(uint16_t v) { return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)}; }

std::string u32(uint32_t v) { return u16(static_cast<uint16_t>(v)) + u16(static_cast<uint16_t>(v >> 16)); }

std::string chunk(const std::string &id, const std::string &body) {
  return id + u32(static_cast<uint32_t>(body.size())) + body;
}

// A chunk header whose count need not match what follows.
std::string chunk_header(const std::string &id, uint32_t count) { return id + u32(count); }

std::string fmt(uint16_t channels = 1, uint32_t rate = 22050, uint16_t bits = 16, uint16_t tag = 1) {
  uint16_t align = static_cast<uint16_t>(channels * bits / 8);
  return chunk("fmt ", u16(tag) + u16(channels) + u32(rate) + u32(rate * align) + u16(align) +
                           u16(bits));
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
  std::string log;
};

ReadResult read_bytes(const std::string &bytes, const fixture::TempDir &dir) {
  std::string path = dir.file("in.wav");
  fixture::write_file(path, bytes);
  ReadResult r{};
  testing::internal::CaptureStderr();
  r.status = read_wav(path.c_str(), &r.wav);
  r.log = testing::internal::GetCapturedStderr();
  return r;
}

ReadResult read_bytes(const std::string &bytes) { return read_bytes(bytes, fixture::TempDir()); }

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
         static_cast<uint8_t>(b[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

uint16_t get_u16(const std::string &b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

int16_t sample_at(const std::string &b, int i) { return static_cast<int16_t>(get_u16(b, 44 + 2 * i)); }

}  // namespace

TEST(ReadWav, AcceptedLayouts) {
  std::vector<int16_t> ramp(22050);
  for (int i = 0; i < 22050; i++) ramp[i] = static_cast<int16_t>(i - 11025);
  std::string list_odd = chunk("LIST", "INFOabc");  // 7 bytes
  std::string three = pcm({100}) + std::string(1, '\x7f');
  struct Case {
    const char *name;
    std::string bytes;
    int total, frames, rate, channels;
    std::vector<float> first;  // leading samples expected
  } cases[] = {
      {"mono 22050 frames", riff(fmt() + chunk("data", pcm(ramp))), 22050, 22050, 22050, 1,
       {-11025 / 32768.0f, -11024 / 32768.0f}},
      {"stereo interleaved", riff(fmt(2, 44100) + chunk("data", pcm({1, -1, 2, -2}))), 4, 2,
       44100, 2, {1 / 32768.0f, -1 / 32768.0f, 2 / 32768.0f, -2 / 32768.0f}},
      {"exact conversions", riff(fmt() + chunk("data", pcm({-32768, 16384, 32767, 0}))), 4, 4,
       22050, 1, {-1.0f, 0.5f, 32767 / 32768.0f, 0.0f}},
      {"18-byte fmt with extension size",
       riff(chunk("fmt ", fmt().substr(8) + u16(0)) + chunk("data", pcm({7, 8}))), 2, 2, 22050, 1,
       {7 / 32768.0f, 8 / 32768.0f}},
      {"LIST chunk skipped", riff(fmt() + chunk("LIST", "INFOab") + chunk("data", pcm({5}))), 1, 1,
       22050, 1, {5 / 32768.0f}},
      {"odd LIST chunk with pad byte",
       riff(fmt() + list_odd + std::string(1, '\0') + chunk("data", pcm({5, 6}))), 2, 2, 22050, 1,
       {5 / 32768.0f, 6 / 32768.0f}},
      {"odd LIST chunk without pad byte", riff(fmt() + list_odd + chunk("data", pcm({5, 6}))), 2,
       2, 22050, 1, {5 / 32768.0f, 6 / 32768.0f}},
      {"odd data chunk, pad byte ends the file",
       riff(fmt() + chunk("data", three) + std::string(1, '\0')), 1, 1, 22050, 1, {100 / 32768.0f}},
      {"odd data chunk, pad byte, then LIST",
       riff(fmt() + chunk("data", three) + std::string(1, '\0') + chunk("LIST", "INFO")), 1, 1,
       22050, 1, {100 / 32768.0f}},
      {"zero channels count as one for frames",
       riff(fmt(0) + chunk("data", pcm({1, 2, 3}))), 3, 3, 22050, 0, {1 / 32768.0f}},
      {"later data chunk replaces earlier",
       riff(fmt() + chunk("data", pcm({1, 2, 3})) + chunk("data", pcm({9}))), 1, 1, 22050, 1,
       {9 / 32768.0f}},
      {"trailing bytes too short for a header", riff(fmt() + chunk("data", pcm({4}))) + "abc", 1,
       1, 22050, 1, {4 / 32768.0f}},
      {"fmt after a chunk with an empty body",
       riff(chunk("junk", "") + fmt(1, 16000) + chunk("data", pcm({3}))), 1, 1, 16000, 1,
       {3 / 32768.0f}},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.name);
    ReadResult r = read_bytes(c.bytes);
    ASSERT_EQ(r.status, 0) << r.log;
    ASSERT_NE(r.wav.samples, nullptr);
    EXPECT_EQ(r.wav.total_samples, c.total);
    EXPECT_EQ(r.wav.frames, c.frames);
    EXPECT_EQ(r.wav.sample_rate, c.rate);
    EXPECT_EQ(r.wav.channels, c.channels);
    for (size_t i = 0; i < c.first.size(); i++) EXPECT_EQ(r.wav.samples[i], c.first[i]) << i;
    EXPECT_NE(r.log.find("[audio_io] Read "), std::string::npos);
    free_wav(&r.wav);
    EXPECT_EQ(r.wav.samples, nullptr);
    EXPECT_EQ(r.wav.total_samples, 0);
  }
}

TEST(ReadWav, LogLine) {
  fixture::TempDir dir;
  std::string path = dir.file("a.wav");
  fixture::write_file(path, riff(fmt(2, 48000) + chunk("data", pcm({1, 2, 3, 4, 5, 6}))));
  WavData wav;
  testing::internal::CaptureStderr();
  ASSERT_EQ(read_wav(path.c_str(), &wav), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[audio_io] Read " + path + ": 3 frames, 48000 Hz, 2 ch\n");
  free_wav(&wav);
}

TEST(ReadWav, RefusedFiles) {
  const char *not_wav = "[audio_io] Not a WAV file: ";
  const char *unsupported = "[audio_io] Unsupported format (need 16-bit PCM): ";
  const char *no_data = "[audio_io] No data chunk found: ";
  const char *past_end = "[audio_io] Chunk runs past the end of the file: ";
  std::string data = chunk("data", pcm({1, 2}));
  struct Case {
    const char *name;
    std::string bytes;
    const char *line;
  } cases[] = {
      {"empty file", "", not_wav},
      {"11 bytes", riff("").substr(0, 11), not_wav},
      {"not RIFF", "RIFX" + riff(fmt() + data).substr(4), not_wav},
      {"not WAVE", riff(fmt() + data).replace(8, 4, "AVI "), not_wav},
      {"data before fmt", riff(data + fmt()), unsupported},
      {"24-bit", riff(fmt(1, 22050, 24) + chunk("data", std::string(6, '\0'))), unsupported},
      {"32-bit float", riff(fmt(1, 22050, 32, 3) + chunk("data", std::string(8, '\0'))),
       unsupported},
      {"16-bit but not PCM", riff(fmt(1, 22050, 16, 3) + data), unsupported},
      {"14-byte fmt has no bit depth", riff(chunk("fmt ", fmt().substr(8, 14)) + data),
       unsupported},
      {"sample rate 0", riff(fmt(1, 0) + data), unsupported},
      {"sample rate beyond int32", riff(fmt(1, 0x80000000u) + data), unsupported},
      {"1-byte data chunk", riff(fmt() + chunk("data", "x")), no_data},
      {"empty data chunk", riff(fmt() + chunk("data", "")), no_data},
      {"no data chunk", riff(fmt() + chunk("LIST", "INFO")), no_data},
      {"fmt only, header cut short", riff(fmt() + "dat"), no_data},
      {"data count past the end", riff(fmt() + chunk_header("data", 6) + pcm({1, 2})), past_end},
      {"huge data count", riff(fmt() + chunk_header("data", 0xffffffffu) + pcm({1, 2})),
       past_end},
      {"huge data count after good data",
       riff(fmt() + data + chunk_header("data", 0x7ffffff0u) + pcm({1})), past_end},
      {"LIST count overflowing a 32-bit position",
       riff(fmt() + chunk_header("LIST", 0xfffffffau) + data), past_end},
      {"fmt count past the end", riff(chunk_header("fmt ", 40) + fmt().substr(8)), past_end},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.name);
    ReadResult r = read_bytes(c.bytes);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.wav.samples, nullptr);
    EXPECT_EQ(r.wav.total_samples, 0);
    EXPECT_NE(r.log.find(c.line), std::string::npos) << r.log;
  }
}

TEST(ReadWav, BadArguments) {
  WavData wav;
  EXPECT_EQ(read_wav(nullptr, &wav), -1);
  EXPECT_EQ(read_wav("x.wav", nullptr), -1);
  fixture::TempDir dir;
  std::string missing = dir.file("missing.wav");
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_wav(missing.c_str(), &wav), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[audio_io] Cannot open: " + missing + "\n");
  EXPECT_EQ(wav.samples, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_wav("/tmp", &wav), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[audio_io] "), std::string::npos);
  EXPECT_EQ(wav.samples, nullptr);
  free_wav(nullptr);
}

// Every single-byte corruption and every truncation of a small file must end
// in a clean 0 or -1, and a success may never hold more samples than the
// file has bytes for.
TEST(ReadWav, CorruptedFilesNeverReadPastTheirSize) {
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
      EXPECT_GT(r.wav.total_samples, 0);
      EXPECT_LE(static_cast<size_t>(r.wav.total_samples) * 2, variants[i].size());
      free_wav(&r.wav);
    } else {
      EXPECT_EQ(r.wav.samples, nullptr);
    }
  }
}

TEST(WriteWav, SampleConversion) {
  struct Case {
    const char *name;
    float in;
    int16_t out;
  } cases[] = {
      {"1.5 clamps", 1.5f, 32767},       {"-2.0 clamps", -2.0f, -32767},
      {"0.5 truncates", 0.5f, 16383},    {"-0.5 truncates", -0.5f, -16383},
      {"1.0", 1.0f, 32767},              {"-1.0", -1.0f, -32767},
      {"zero", 0.0f, 0},                 {"NaN writes silence", std::nanf(""), 0},
      {"+inf clamps", INFINITY, 32767},  {"-inf clamps", -INFINITY, -32767},
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
  EXPECT_NE(log.find("[audio_io] Wrote " + path + ": " + std::to_string(n) +
                     " frames, 24000 Hz, 1 ch\n"),
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
  struct Case {
    const char *name;
    std::string path;
    const WavData *wav;
    const char *line;  // null: no line at all
  } cases[] = {
      {"null record", path, nullptr, nullptr},
      {"no samples", path, &no_samples, nullptr},
      {"zero samples", path, &empty, nullptr},
      {"directory missing", dir.file("no/such/dir.wav"), &ok, "[audio_io] Cannot create: "},
      {"more samples than a WAV holds", path, &too_long, "[audio_io] Too many samples"},
      {"full disk, short file", "/dev/full", &ok, "[audio_io] Write failed: /dev/full\n"},
      {"full disk, long file", "/dev/full", &big_wav, "[audio_io] Write failed: /dev/full\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_wav(c.path.c_str(), c.wav), -1);
    std::string log = testing::internal::GetCapturedStderr();
    if (c.line) {
      EXPECT_NE(log.find(c.line), std::string::npos) << log;
      EXPECT_EQ(log.find("Wrote"), std::string::npos);
    } else {
      EXPECT_EQ(log, "");
    }
  }
  EXPECT_EQ(write_wav(nullptr, &ok), -1);
}
