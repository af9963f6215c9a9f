// The audio encoder of the command-line program and the server, checked by
// an independent decoder (Debian's ffmpeg): every format, streamed in uneven
// chunks and whole, decodes to the samples it was given, no shorter.
#include "common/audio_encoder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int32_t kRate = 24000;

// 1.3 s of a voice-like signal: two partials under a syllable envelope, with
// a few samples beyond full scale that must be clipped, not wrapped round.
std::vector<float> test_signal() {
  std::vector<float> x(31234);
  for (size_t i = 0; i < x.size(); i++) {
    const double t = static_cast<double>(i) / kRate;
    const double envelope = 0.5 + 0.4 * std::sin(2 * M_PI * 3 * t);
    x[i] = static_cast<float>(
        envelope * (0.6 * std::sin(2 * M_PI * 180 * t) + 0.3 * std::sin(2 * M_PI * 540 * t)));
  }
  x[1000] = 1.7f;
  x[1001] = -1.7f;
  return x;
}

std::string temporary_path(const char *suffix) {
  char pattern[] = "/tmp/vclone-encoder-XXXXXX";
  const int fd = mkstemp(pattern);
  close(fd);
  unlink(pattern);
  return std::string(pattern) + suffix;
}

// The file decoded by ffmpeg to 16-bit mono samples at 24 kHz.
std::vector<int16_t> decode(const std::string &bytes, AudioFormat format) {
  const std::string path = temporary_path(format == AudioFormat::kPcm ? ".raw" : ".bin");
  FILE *file = fopen(path.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
  const std::string input = format == AudioFormat::kPcm ? "-f s16le -ar 24000 -ac 1 " : "";
  const std::string command =
      "ffmpeg -nostdin -v error " + input + "-i " + path + " -f s16le -ac 1 -ar 24000 -";
  FILE *pipe = popen(command.c_str(), "r");
  std::vector<int16_t> samples;
  int16_t block[4096];
  size_t n;
  while (pipe && (n = fread(block, sizeof(int16_t), 4096, pipe)) > 0)
    samples.insert(samples.end(), block, block + n);
  const int status = pipe ? pclose(pipe) : -1;
  unlink(path.c_str());
  EXPECT_EQ(status, 0) << command;
  return samples;
}

// The best normalised correlation of the decoded samples with the signal
// over the delays a codec may add.
double best_correlation(const std::vector<int16_t> &decoded, const std::vector<float> &signal,
                        size_t max_delay) {
  double best = 0;
  for (size_t delay = 0; delay <= max_delay && delay + signal.size() <= decoded.size(); delay++) {
    double dot = 0, a = 0, b = 0;
    for (size_t i = 0; i < signal.size(); i += 3) {
      const double s = std::max(-1.0f, std::min(1.0f, signal[i])), d = decoded[delay + i] / 32768.0;
      dot += s * d;
      a += s * s;
      b += d * d;
    }
    best = std::max(best, dot / std::sqrt(a * b + 1e-12));
  }
  return best;
}

struct FormatCase {
  AudioFormat format;
  size_t max_extra;  // samples a decoder may add (encoder delay, padding to a frame)
  bool lossless;
  size_t stream_extra;  // the same for a stream, which cannot carry its delay
};

// MP3 files carry their delay and padding in the first frame, so a file
// decodes to its exact length; a stream adds LAME's 1105 samples of delay
// and pads its last 576-sample frame. ADTS carries neither: AAC adds its
// 1024-sample priming and pads to a 1024-sample frame.
const FormatCase kCases[] = {
    {AudioFormat::kWav, 0, true, 0},           {AudioFormat::kPcm, 0, true, 0},
    {AudioFormat::kFlac, 0, true, 0},          {AudioFormat::kOpus, 0, false, 0},
    {AudioFormat::kMp3, 0, false, 1105 + 576}, {AudioFormat::kAac, 2047, false, 2047},
};

class EncoderFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(EncoderFormats, StreamedAndWholeDecodeToTheSamples) {
  const FormatCase c = GetParam();
  const std::vector<float> signal = test_signal();
  for (const bool streamed : {true, false}) {
    SCOPED_TRACE(std::string(audio_format_name(c.format)) + (streamed ? " streamed" : " whole"));
    std::string error;
    std::unique_ptr<AudioEncoder> encoder = AudioEncoder::create(c.format, kRate, streamed, error);
    ASSERT_TRUE(encoder) << error;
    // Chunks as a synthesis gives them, with an empty and a one-sample one.
    const size_t chunks[] = {6000, 0, 1, 10000, 15233};
    std::string bytes;
    size_t at = 0, before_last_chunk = 0;
    for (const size_t n : chunks) {
      before_last_chunk = bytes.size();
      ASSERT_TRUE(encoder->write(signal.data() + at, n, bytes)) << encoder->error();
      at += n;
    }
    if (streamed) {
      EXPECT_GT(before_last_chunk, 0u) << "a stream gives out bytes before it ends";
    }
    ASSERT_TRUE(encoder->finish(bytes)) << encoder->error();

    const std::vector<int16_t> decoded = decode(bytes, c.format);
    const size_t extra = streamed ? c.stream_extra : c.max_extra;
    ASSERT_GE(decoded.size(), signal.size()) << "the last page or frame is lost";
    EXPECT_LE(decoded.size(), signal.size() + extra);
    if (c.lossless) {
      const std::string pcm = pcm16_bytes(signal.data(), signal.size());
      const auto *expected = reinterpret_cast<const int16_t *>(pcm.data());
      int worst = 0;
      for (size_t i = 0; i < signal.size(); i++)
        worst = std::max(worst, std::abs(decoded[i] - expected[i]));
      EXPECT_EQ(worst, 0);
      EXPECT_GE(decoded[1000], 32766);
      EXPECT_LE(decoded[1001], -32766);
    } else {
      EXPECT_GT(best_correlation(decoded, signal, extra + 400), 0.9);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, EncoderFormats, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FormatCase> &param_info) {
                           return std::string(audio_format_name(param_info.param.format));
                         });

TEST(Encoder, WavHeaderLeavesAStreamsLengthUnknownAndGivesAFilesLength) {
  const std::vector<float> signal(480, 0.25f);
  std::string error, streamed, whole;
  auto stream = AudioEncoder::create(AudioFormat::kWav, kRate, true, error);
  ASSERT_TRUE(stream->write(signal.data(), signal.size(), streamed));
  ASSERT_TRUE(stream->finish(streamed));
  whole = encode_whole(AudioFormat::kWav, signal.data(), signal.size(), kRate, error);
  auto u32 = [](const std::string &b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
           static_cast<uint8_t>(b[at + 1]) << 8 | static_cast<uint8_t>(b[at + 2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
  };
  ASSERT_EQ(streamed.size(), 44u + 960u);
  EXPECT_EQ(u32(streamed, 4), 0xFFFFFFFFu);
  EXPECT_EQ(u32(streamed, 40), 0xFFFFFFFFu);
  EXPECT_EQ(u32(whole, 4), 36u + 960u);
  EXPECT_EQ(u32(whole, 40), 960u);
  EXPECT_EQ(streamed.substr(44), whole.substr(44));

  // A stream that got no audio still ends as a valid, empty WAV.
  std::string empty;
  auto silent = AudioEncoder::create(AudioFormat::kWav, kRate, true, error);
  ASSERT_TRUE(silent->finish(empty));
  EXPECT_EQ(empty.size(), 44u);
}

TEST(Encoder, NamesAndExtensions) {
  struct Case {
    const char *path;
    bool known;
    AudioFormat format;
  };
  const Case cases[] = {
      {"a/b/out.mp3", true, AudioFormat::kMp3},   {"OUT.FLAC", true, AudioFormat::kFlac},
      {"x.opus", true, AudioFormat::kOpus},       {"x.ogg", true, AudioFormat::kOpus},
      {"x.aac", true, AudioFormat::kAac},         {"x.raw", true, AudioFormat::kPcm},
      {"x.wav", true, AudioFormat::kWav},         {"x.mp4", false, AudioFormat::kWav},
      {"dir.mp3/name", false, AudioFormat::kWav}, {"noextension", false, AudioFormat::kWav},
  };
  for (const Case &c : cases) {
    AudioFormat format = AudioFormat::kWav;
    EXPECT_EQ(audio_format_from_path(c.path, format), c.known) << c.path;
    if (c.known) {
      EXPECT_EQ(format, c.format) << c.path;
    }
  }
  AudioFormat format;
  EXPECT_FALSE(audio_format_from_name("MP3", format));
  EXPECT_EQ(audio_format_list(), "wav, pcm, mp3, opus, flac, aac");
}

}  // namespace
