// End to end on full-size random models, made once per process.
#include "audio/wav_io.h"
#include "engine/engine.h"
#include "engine/vclone_model.h"
#include "support/archive_fixture.h"
#include "support/full_model.h"
#include "vclone.h"

#include <gtest/gtest.h>
#include <torch/utils.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <regex>
#include <vector>

namespace {

struct Models {
  fixture::TempDir dir;
  std::string plain, weight_norm, vocab, reference, stereo;
};

Models *models = nullptr;

std::string last_error() {
  const char *message = vclone_get_last_error();
  return message ? message : "";
}

using fixture::write_reference;

class SynthesisEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    models = new Models;
    fixture::make_random_model(models->dir.file("plain"));
    fixture::make_random_model(models->dir.file("norm"), "--weight-norm --shared-record");
    models->plain = models->dir.file("plain/model.pt");
    models->weight_norm = models->dir.file("norm/model.pt");
    models->vocab = models->dir.file("plain/vocab.json");
    models->reference = models->dir.file("voice.wav");
    models->stereo = models->dir.file("stereo.wav");
    write_reference(models->reference, 22050, 1, 3.0);
    write_reference(models->stereo, 48000, 2, 2.0);
  }
  void TearDown() override {
    vclone_unload();
    delete models;
  }
};

const testing::Environment *const environment =
    testing::AddGlobalTestEnvironment(new SynthesisEnvironment);

struct Spoken {
  std::vector<float> samples;
  int codes = -1;
  std::string log;
};

// Speaks with a fixed seed; a high speed keeps the code budget small.
Spoken speak(const char *text, const std::string &reference, float speed, uint64_t seed) {
  torch::manual_seed(seed);
  Spoken spoken;
  int n = -1;
  testing::internal::CaptureStderr();
  float *samples = vclone_tts(text, reference.c_str(), "en", &n, speed);
  spoken.log = testing::internal::GetCapturedStderr();
  std::smatch match;
  if (std::regex_search(spoken.log, match, std::regex(R"(\[gpt\] Pass 1: (\d+) audio tokens)")))
    spoken.codes = std::stoi(match[1]);
  if (samples) {
    spoken.samples.assign(samples, samples + n);
    free(samples);
  }
  return spoken;
}

int64_t expected_samples(int codes) {
  return 256 * static_cast<int64_t>(4.0 * (codes - 3) * 24000.0 / 22050.0);
}

std::string load_log(const std::string &archive) {
  testing::internal::CaptureStderr();
  int status = vclone_load(archive.c_str(), models->vocab.c_str());
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 0) << log;
  return log;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t le32(const std::string &bytes, size_t at) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

uint16_t le16(const std::string &bytes, size_t at) {
  uint16_t value;
  std::memcpy(&value, bytes.data() + at, 2);
  return value;
}

}  // namespace

// Tests run in order: the first loads the model the others use.
TEST(Synthesis, LoadBindsEveryArchiveTensor) {
  std::string log = load_log(models->plain);
  for (const char *line :
       {"[vclone] Initializing modules...\n", "[vclone] Archive: 919 tensors\n",
        "[vclone] mel_stats: [80]\n", "[vclone] ConditioningEncoder: 38/38 weights\n",
        "[vclone] PerceiverResampler: 16/20 weights\n", "[vclone] GPTDecoder: 372/372 weights\n",
        "[vclone] SpeakerEncoder: 216 weights loaded\n", "[vclone] HifiDecoder: 165/165 weights\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line << log;
  EXPECT_EQ(log.find("mismatch"), std::string::npos) << log;
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(\[vclone\] Loaded in \d+\.\d\d sec\n)")));
  ASSERT_NE(current_model, nullptr);
  EXPECT_TRUE(current_model->loaded);
}

TEST(Synthesis, SpeaksAndCountsSamples) {
  Spoken spoken = speak("Hello world.", models->reference, 60.0f, 7);
  ASSERT_GE(spoken.codes, 4) << spoken.log << last_error();
  EXPECT_LE(spoken.codes, 10);
  ASSERT_EQ(static_cast<int64_t>(spoken.samples.size()), expected_samples(spoken.codes));
  for (float sample : spoken.samples)
    ASSERT_TRUE(std::isfinite(sample) && std::fabs(sample) <= 1.0f);
  EXPECT_NE(spoken.log.find("[vclone] Done: " + std::to_string(spoken.samples.size()) + " samples"),
            std::string::npos);
}

TEST(Synthesis, SameSeedSameSamples) {
  Spoken first = speak("Seeded text.", models->reference, 60.0f, 11);
  Spoken second = speak("Seeded text.", models->reference, 60.0f, 11);
  ASSERT_FALSE(first.samples.empty()) << first.log;
  EXPECT_EQ(first.codes, second.codes);
  EXPECT_EQ(first.samples, second.samples);
}

TEST(Synthesis, StereoReferenceAtAnotherRate) {
  Spoken spoken = speak("Two channels.", models->stereo, 60.0f, 3);
  EXPECT_FALSE(spoken.samples.empty()) << spoken.log << last_error();
  EXPECT_NE(spoken.log.find("[audio_io] Read " + models->stereo + ": 96000 frames, 48000 Hz, 2 ch"),
            std::string::npos)
      << spoken.log;
}

TEST(Synthesis, WritesMono16BitWav) {
  std::string out = models->dir.file("out.wav");
  torch::manual_seed(5);
  testing::internal::CaptureStderr();
  ASSERT_EQ(vclone_tts_to_file("File output.", models->reference.c_str(), "en", out.c_str(), 60.0f),
            0);
  std::string log = testing::internal::GetCapturedStderr();
  std::smatch match;
  ASSERT_TRUE(std::regex_search(log, match, std::regex(R"(\[vclone\] Done: (\d+) samples)")))
      << log;
  const uint32_t samples = std::stoul(match[1]);
  std::string bytes = read_file(out);
  ASSERT_EQ(bytes.size(), 44u + 2u * samples);
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(le32(bytes, 4), bytes.size() - 8);
  EXPECT_EQ(le16(bytes, 22), 1);       // channels
  EXPECT_EQ(le32(bytes, 24), 24000u);  // sample rate
  EXPECT_EQ(le16(bytes, 34), 16);      // bits per sample
  EXPECT_EQ(le32(bytes, 40), 2u * samples);

  // An output that cannot be written fails before any synthesis, with a
  // message of its own that names the path and the reason.
  struct Case {
    const char *name;
    const char *path;
    const char *message;
  } unwritable[] = {
      {"no path", nullptr, "No output path given"},
      {"missing folder", "/nonexistent-folder/out.wav", "No such file or directory"},
      {"folder is a file", "/dev/null/out.wav", "Not a directory"},
  };
  for (const Case &c : unwritable) {
    set_last_error("marker");
    testing::internal::CaptureStderr();
    EXPECT_EQ(vclone_tts_to_file("File output.", models->reference.c_str(), "en", c.path, 60.0f),
              -1);
    const std::string case_log = testing::internal::GetCapturedStderr();
    EXPECT_NE(last_error().find(c.message), std::string::npos) << c.name << ": " << last_error();
    EXPECT_EQ(case_log.find("[gpt]"), std::string::npos) << c.name << ": synthesised first";
  }
}

TEST(Synthesis, FailuresLeaveTheEngineUsable) {
  const std::string missing = models->dir.file("missing.wav");
  const std::string long_text(2000, 'a');
  struct Case {
    const char *name;
    std::string text, reference;
    float speed;
    std::string message;
  } cases[] = {
      {"missing reference", "Hi.", missing, 1.0f, "Failed to read: cannot open " + missing},
      {"zero speed", "Hi.", models->reference, 0.0f, "Bad speed"},
      {"negative speed", "Hi.", models->reference, -1.0f, "Bad speed"},
      {"NaN speed", "Hi.", models->reference, std::numeric_limits<float>::quiet_NaN(), "Bad speed"},
      {"infinite speed", "Hi.", models->reference, std::numeric_limits<float>::infinity(),
       "Bad speed"},
      {"too long text", long_text, models->reference, 1.0f, "Text too long: "},
      {"speed leaves one code", "Hi.", models->reference, 1000.0f, "Too few codes"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int n = 99;
    testing::internal::CaptureStderr();
    float *samples = vclone_tts(c.text.c_str(), c.reference.c_str(), "en", &n, c.speed);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(samples, nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(last_error().rfind(c.message, 0), 0u) << last_error();
  }
  Spoken after = speak("Still works.", models->reference, 60.0f, 7);
  EXPECT_FALSE(after.samples.empty()) << after.log;
}

TEST(Synthesis, LoadFailuresAndReload) {
  EXPECT_EQ(vclone_load(models->plain.c_str(), models->vocab.c_str()), -1);
  EXPECT_EQ(last_error(), "Model already loaded");
  vclone_unload();
  EXPECT_EQ(current_model, nullptr);

  const std::string missing_vocab = models->dir.file("missing.json");
  testing::internal::CaptureStderr();
  EXPECT_EQ(vclone_load(models->plain.c_str(), missing_vocab.c_str()), -1);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(last_error().rfind("Failed to load tokenizer: ", 0), 0u) << last_error();
  EXPECT_NE(last_error().find(missing_vocab + ": No such file or directory"), std::string::npos)
      << last_error();
  EXPECT_EQ(current_model, nullptr);

  testing::internal::CaptureStderr();
  EXPECT_EQ(vclone_load(models->reference.c_str(), models->vocab.c_str()), -1);
  log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(last_error().rfind("Failed to load manifest: ", 0), 0u) << last_error();
  EXPECT_NE(last_error().find(models->reference), std::string::npos) << last_error();
  EXPECT_NE(log.find("[vclone] Loading weights from " + models->reference + "..."),
            std::string::npos);
  EXPECT_EQ(current_model, nullptr);

  // The weight-norm archive binds the vocoder through the fold.
  log = load_log(models->weight_norm);
  EXPECT_NE(log.find("[vclone] HifiDecoder: 165/165 weights\n"), std::string::npos) << log;
  Spoken spoken = speak("Reloaded.", models->reference, 60.0f, 7);
  EXPECT_FALSE(spoken.samples.empty()) << spoken.log;
}
