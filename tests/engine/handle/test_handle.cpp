// The model handle, voices, options, long texts, logging and streaming, on
// one full-size random model loaded once. The random model never draws the
// stop code, so every piece runs to max_codes: small budgets keep it quick.
#include "support/full_model.h"
#include "vclone.h"

#include <gtest/gtest.h>
#include <torch/utils.h>
#include <torch/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct Shared {
  fixture::TempDir dir;
  std::string model_path, vocab, reference;
  vclone_model *model = nullptr;
  vclone_voice *voice = nullptr;
};
Shared *shared = nullptr;

class HandleEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    shared = new Shared;
    const std::string model_dir = fixture::full_model_dir(shared->dir.file("m"));
    shared->model_path = model_dir + "/model.pt";
    shared->vocab = model_dir + "/vocab.json";
    shared->reference = shared->dir.file("voice.wav");
    fixture::write_reference(shared->reference, 22050, 1, 3.0);
    shared->model = vclone_model_load(shared->model_path.c_str(), shared->vocab.c_str(), nullptr);
    ASSERT_NE(shared->model, nullptr) << vclone_get_last_error();
    shared->voice = vclone_voice_from_wav(shared->model, shared->reference.c_str());
    ASSERT_NE(shared->voice, nullptr) << vclone_get_last_error();
  }
  void TearDown() override {
    vclone_voice_free(shared->voice);
    vclone_model_free(shared->model);
    vclone_unload();
    delete shared;
  }
};
const testing::Environment *const environment =
    testing::AddGlobalTestEnvironment(new HandleEnvironment);

std::string last_error() {
  const char *message = vclone_get_last_error();
  return message ? message : "";
}

vclone_options small_options(int max_codes, uint64_t seed) {
  vclone_options options = vclone_default_options();
  options.max_codes = max_codes;
  options.seed = seed;
  return options;
}

std::vector<float> speak(const char *text, const vclone_options &options,
                         const vclone_voice *voice = nullptr, const char *language = "en") {
  int32_t n = -1;
  float *samples =
      vclone_speak(shared->model, text, language, voice ? voice : shared->voice, &options, &n);
  EXPECT_NE(samples, nullptr) << last_error();
  std::vector<float> result;
  if (samples) result.assign(samples, samples + n);
  free(samples);
  return result;
}

// Vocoder samples of a piece of `codes` codes at speed 1.
int64_t piece_samples(int codes) {
  return 256 * static_cast<int64_t>(4.0 * (codes - 3) * 24000.0 / 22050.0);
}

float max_difference(const std::vector<float> &a, const std::vector<float> &b, size_t from = 0,
                     size_t to = SIZE_MAX) {
  float worst = 0;
  for (size_t i = from; i < std::min({a.size(), b.size(), to}); i++)
    worst = std::max(worst, std::fabs(a[i] - b[i]));
  return worst;
}

// Collects every log line while alive; the default sink comes back after.
class LogCapture {
 public:
  LogCapture() { vclone_log_set(&LogCapture::receive, this); }
  ~LogCapture() { vclone_log_set(nullptr, nullptr); }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  static void receive(int32_t, const char *line, void *self) {
    auto *capture = static_cast<LogCapture *>(self);
    std::lock_guard<std::mutex> lock(capture->mutex_);
    capture->text_ += std::string(line) + "\n";
  }
  std::mutex mutex_;
  std::string text_;
};

}  // namespace

TEST(Handle, SavedVoiceSpeaksAsTheVoiceItWasSavedFrom) {
  const std::string path = shared->dir.file("me.vcv");
  ASSERT_EQ(vclone_voice_save(shared->voice, path.c_str()), 0) << last_error();
  vclone_voice *loaded = vclone_voice_load(path.c_str());
  ASSERT_NE(loaded, nullptr) << last_error();
  const vclone_options options = small_options(12, 7);
  LogCapture log;
  std::vector<float> from_file = speak("Hello there.", options, loaded);
  EXPECT_EQ(log.text().find("[mel]"), std::string::npos) << "a saved voice needs no reference work";
  std::vector<float> from_memory = speak("Hello there.", options);
  ASSERT_EQ(from_file.size(), from_memory.size());
  EXPECT_EQ(max_difference(from_file, from_memory), 0.0f);
  vclone_voice_free(loaded);

  // A voice outlives the model it was made with.
  vclone_model *other =
      vclone_model_load(shared->model_path.c_str(), shared->vocab.c_str(), nullptr);
  ASSERT_NE(other, nullptr);
  vclone_voice *kept = vclone_voice_from_wav(other, shared->reference.c_str());
  vclone_model_free(other);
  ASSERT_NE(kept, nullptr);
  std::vector<float> after = speak("Hello there.", options, kept);
  EXPECT_EQ(max_difference(after, from_memory), 0.0f);
  vclone_voice_free(kept);
}

TEST(Handle, SeededSpeakMatchesTtsAfterAGlobalSeedAndLeavesTheGlobalGeneratorAlone) {
  ASSERT_EQ(vclone_load(shared->model_path.c_str(), shared->vocab.c_str()), 0) << last_error();
  // 43 codes: vclone_tts at speed 602 / 43 = 14 has exactly that budget.
  torch::manual_seed(11);
  int n = 0;
  float *tts = vclone_tts("Hello there, how are you?", shared->reference.c_str(), "en", &n, 14.0f);
  ASSERT_NE(tts, nullptr) << last_error();
  std::vector<float> expected(tts, tts + n);
  free(tts);
  vclone_unload();

  torch::manual_seed(99);
  const float untouched = torch::rand({1}).item<float>();
  torch::manual_seed(99);
  std::vector<float> seeded = speak("Hello there, how are you?", small_options(43, 11));
  EXPECT_EQ(torch::rand({1}).item<float>(), untouched);

  ASSERT_EQ(seeded.size(), expected.size());
  ASSERT_EQ(static_cast<int64_t>(seeded.size()), piece_samples(43));
  // Pass-1 states stand in for pass 2's latents: equal up to float rounding.
  EXPECT_LT(max_difference(seeded, expected), 1e-4f);

  std::vector<float> other_seed = speak("Hello there, how are you?", small_options(43, 12));
  ASSERT_EQ(other_seed.size(), seeded.size());
  EXPECT_GT(max_difference(other_seed, seeded), 1e-2f);
}

TEST(Handle, OutOfRangeOptionsFailBeforeAnyWork) {
  struct Case {
    const char *field;
    void (*set)(vclone_options &);
  } cases[] = {
      {"temperature", [](vclone_options &o) { o.temperature = 0; }},
      {"temperature", [](vclone_options &o) { o.temperature = NAN; }},
      {"temperature", [](vclone_options &o) { o.temperature = 11; }},
      {"top_k", [](vclone_options &o) { o.top_k = -1; }},
      {"top_k", [](vclone_options &o) { o.top_k = 1027; }},
      {"top_p", [](vclone_options &o) { o.top_p = 0; }},
      {"top_p", [](vclone_options &o) { o.top_p = 1.5f; }},
      {"repetition_penalty", [](vclone_options &o) { o.repetition_penalty = 0.5f; }},
      {"repetition_penalty", [](vclone_options &o) { o.repetition_penalty = INFINITY; }},
      {"max_codes", [](vclone_options &o) { o.max_codes = 3; }},
      {"max_codes", [](vclone_options &o) { o.max_codes = 607; }},
      {"speed", [](vclone_options &o) { o.speed = 0.2f; }},
      {"speed", [](vclone_options &o) { o.speed = 4.5f; }},
      {"speed", [](vclone_options &o) { o.speed = -1; }},
      {"pause_seconds", [](vclone_options &o) { o.pause_seconds = -0.1f; }},
      {"pause_seconds", [](vclone_options &o) { o.pause_seconds = 11; }},
      {"stream_first_codes", [](vclone_options &o) { o.stream_first_codes = 0; }},
      {"stream_chunk_codes", [](vclone_options &o) { o.stream_chunk_codes = 1000; }},
      {"reserved", [](vclone_options &o) { o.reserved[3] = 1; }},
  };
  for (const Case &c : cases) {
    vclone_options options = vclone_default_options();
    c.set(options);
    LogCapture log;
    int32_t n = 5;
    EXPECT_EQ(vclone_speak(shared->model, "Hello.", "en", shared->voice, &options, &n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_NE(last_error().find(c.field), std::string::npos) << c.field << ": " << last_error();
    EXPECT_EQ(log.text().find("[tokenizer]"), std::string::npos) << c.field << " did work first";
    int calls = 0;
    auto count = [](const float *, int, void *counter) {
      return ++*static_cast<int *>(counter), 0;
    };
    EXPECT_EQ(
        vclone_speak_stream(shared->model, "Hello.", "en", shared->voice, &options, count, &calls),
        -1);
    EXPECT_EQ(calls, 0);
  }

  struct LoadCase {
    const char *field;
    vclone_load_options options;
  } load_cases[] = {
      {"n_threads",
       [] {
         auto o = vclone_default_load_options();
         o.n_threads = 999;
         return o;
       }()},
      {"n_threads",
       [] {
         auto o = vclone_default_load_options();
         o.n_threads = -1;
         return o;
       }()},
      {"precision",
       [] {
         auto o = vclone_default_load_options();
         o.precision = 7;
         return o;
       }()},
      {"reserved",
       [] {
         auto o = vclone_default_load_options();
         o.reserved[0] = 1;
         return o;
       }()},
  };
  for (const LoadCase &c : load_cases) {
    EXPECT_EQ(vclone_model_load(shared->model_path.c_str(), shared->vocab.c_str(), &c.options),
              nullptr);
    EXPECT_NE(last_error().find(c.field), std::string::npos) << last_error();
  }
}

TEST(Handle, BadTextAndLanguageFailWithAClearMessage) {
  const vclone_options options = small_options(8, 1);
  int32_t n = 3;
  // Unicode's spaces are blank too: a text of U+00A0 and U+3000 once gave
  // zero samples and success.
  for (const char *text : {"", "   \n\t ", "\xC2\xA0\xE3\x80\x80\xC2\xA0"}) {
    EXPECT_EQ(vclone_speak(shared->model, text, "en", shared->voice, &options, &n), nullptr);
    EXPECT_NE(last_error().find("Empty text"), std::string::npos) << last_error();
  }
  for (const char *language : {"xx", "EN", "en-US", "[en]", ""}) {
    EXPECT_EQ(vclone_speak(shared->model, "Hello.", language, shared->voice, &options, &n),
              nullptr);
    EXPECT_NE(last_error().find("Unknown language"), std::string::npos) << language;
    EXPECT_NE(last_error().find("en de fr"), std::string::npos) << last_error();
  }
  EXPECT_STREQ(vclone_model_languages(shared->model),
               "en de fr es it pt pl tr ru nl cs ar zh-cn ja hu ko hi");
  EXPECT_EQ(vclone_speak(nullptr, "Hello.", "en", shared->voice, &options, &n), nullptr);
  EXPECT_EQ(vclone_speak(shared->model, "Hello.", "en", nullptr, &options, &n), nullptr);
  EXPECT_EQ(vclone_speak(shared->model, "Hello.", "en", shared->voice, &options, nullptr), nullptr);

  // Unsplit, a long text is refused as the original interface refuses it.
  vclone_options whole = options;
  whole.split_text = 0;
  std::string paragraph;
  for (int i = 0; i < 40; i++) paragraph += "The quick brown fox jumps over the lazy dog. ";
  EXPECT_EQ(vclone_speak(shared->model, paragraph.c_str(), "en", shared->voice, &whole, &n),
            nullptr);
  EXPECT_NE(last_error().find("Text too long"), std::string::npos) << last_error();
}

TEST(Handle, LongTextIsSpokenWholeInPiecesJoinedByPauses) {
  std::string text;
  while (text.size() < 3000)
    text +=
        "Mr. Smith paid 3.5 dollars for the quick brown fox, which jumped over the lazy dog! "
        "Did it really? ";
  vclone_options options = small_options(8, 5);
  options.pause_seconds = 0.25f;
  LogCapture log;
  std::vector<float> audio = speak(text.c_str(), options);
  const std::string lines = log.text();
  const size_t done = lines.find("[vclone] Done:");
  ASSERT_NE(done, std::string::npos);
  const int pieces = std::stoi(lines.substr(lines.find("audio, ", done) + 7));
  EXPECT_GE(pieces, 3000 / 250);
  EXPECT_LE(pieces, 3000 / 150);
  EXPECT_EQ(static_cast<int64_t>(audio.size()), pieces * piece_samples(8) + (pieces - 1) * 6000);
  // The pause is silence.
  const size_t pause_start = static_cast<size_t>(piece_samples(8));
  EXPECT_EQ(max_difference(
                std::vector<float>(audio.begin() + pause_start, audio.begin() + pause_start + 6000),
                std::vector<float>(6000, 0.0f)),
            0.0f);
  // A seeded text of several pieces is reproducible.
  const std::string shorter = text.substr(0, 600);
  EXPECT_EQ(max_difference(speak(shorter.c_str(), options), speak(shorter.c_str(), options)), 0.0f);
}

TEST(Handle, SpeedChangesTheSpeakingRateNotTheCodes) {
  vclone_options options = small_options(40, 3);
  const size_t natural = speak("Hello there.", options).size();
  options.speed = 2.0f;
  const size_t fast = speak("Hello there.", options).size();
  options.speed = 0.5f;
  const size_t slow = speak("Hello there.", options).size();
  EXPECT_NEAR(static_cast<double>(fast) / natural, 0.5, 0.03);
  EXPECT_NEAR(static_cast<double>(slow) / natural, 2.0, 0.06);
}

// The reduced decoders sample from other logits than float32's, so their
// codes differ; what holds at every precision is checked here.
TEST(Handle, ReducedPrecisionModelsSpeakFiniteReproducibleAudio) {
  for (int32_t precision : {VCLONE_PRECISION_BF16, VCLONE_PRECISION_INT8}) {
    SCOPED_TRACE(precision);
    vclone_load_options load = vclone_default_load_options();
    load.precision = precision;
    vclone_model *model =
        vclone_model_load(shared->model_path.c_str(), shared->vocab.c_str(), &load);
    ASSERT_NE(model, nullptr) << last_error();
    vclone_voice *voice = vclone_voice_from_wav(model, shared->reference.c_str());
    ASSERT_NE(voice, nullptr) << last_error();
    auto say = [&](uint64_t seed) {
      const vclone_options options = small_options(24, seed);
      int32_t n = -1;
      float *samples = vclone_speak(model, "Hello there.", "en", voice, &options, &n);
      EXPECT_NE(samples, nullptr) << last_error();
      std::vector<float> result;
      if (samples) result.assign(samples, samples + n);
      free(samples);
      return result;
    };
    const std::vector<float> first = say(5), again = say(5), other = say(6);
    ASSERT_EQ(first.size(), static_cast<size_t>(piece_samples(24)));
    EXPECT_TRUE(std::all_of(first.begin(), first.end(),
                            [](float v) { return std::isfinite(v) && std::fabs(v) <= 1.0f; }));
    EXPECT_EQ(max_difference(first, again), 0.0f);
    ASSERT_EQ(other.size(), first.size());
    EXPECT_GT(max_difference(other, first), 1e-2f);
    vclone_voice_free(voice);
    vclone_model_free(model);
  }
}

TEST(Handle, TwoThreadsSpeakOnOneModelAtOnce) {
  std::vector<float> results[2];
  std::thread threads[2];
  for (int t = 0; t < 2; t++)
    threads[t] = std::thread([t, &results] { results[t] = speak("Hello.", small_options(10, 4)); });
  for (std::thread &thread : threads) thread.join();
  ASSERT_EQ(results[0].size(), static_cast<size_t>(piece_samples(10)));
  EXPECT_EQ(max_difference(results[0], results[1]), 0.0f);
}

TEST(Handle, LogLinesCanBeRedirectedAndSilenced) {
  {
    LogCapture log;
    testing::internal::CaptureStderr();
    speak("Hello.", small_options(8, 1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(log.text().find("[tokenizer] Encoded"), std::string::npos);
  }
  testing::internal::CaptureStderr();
  speak("Hello.", small_options(8, 1));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[vclone] Done"), std::string::npos);
}

TEST(Handle, NotAVoiceFileGivesNullAndTheReason) {
  const std::string good = shared->dir.file("good.vcv");
  ASSERT_EQ(vclone_voice_save(shared->voice, good.c_str()), 0);
  std::ifstream in(good, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  auto voice_archive = [&](const std::string &name, const fixture::Records &records) {
    const std::string path = shared->dir.file(name);
    fixture::write_archive(path, records);
    return path;
  };
  const std::string marker = R"({"kind": "vclone-voice", "format_version": 1})";
  auto tensors = [](const std::string &latent_shape, long latent_numel, float value) {
    std::vector<float> latents(static_cast<size_t>(latent_numel), value);
    std::vector<float> speaker(512, 0.5f);
    return fixture::Records{
        {"manifest.json",
         "{" + fixture::manifest_entry("cond_latents", "0", "0", latent_shape, latent_numel) +
             ", " + fixture::manifest_entry("speaker_embedding", "1", "0", "1, 512, 1", 512) + "}"},
        {"data/0", fixture::float_bytes(latents)},
        {"data/1", fixture::float_bytes(speaker)}};
  };
  auto with_marker = [&](fixture::Records records, const std::string &text) {
    records.push_back({"voice.json", text});
    return records;
  };
  const std::string truncated = shared->dir.file("truncated.vcv");
  fixture::write_file(truncated, bytes.substr(0, bytes.size() / 2));
  const std::string flipped = shared->dir.file("flipped.vcv");
  std::string corrupt = bytes;
  for (size_t i = 100; i < corrupt.size(); i += 97) corrupt[i] = static_cast<char>(~corrupt[i]);
  fixture::write_file(flipped, corrupt);
  const std::string empty = shared->dir.file("empty.vcv");
  fixture::write_file(empty, "");

  struct Case {
    const char *name;
    std::string path;
    const char *reason;
  } cases[] = {
      {"weight archive", shared->model_path, "no voice.json"},
      {"missing file", shared->dir.file("absent.vcv"), "absent.vcv"},
      {"folder", shared->dir.file(""), "Not a voice file"},
      {"empty file", empty, "Not a voice file"},
      {"truncated", truncated, "truncated.vcv"},
      {"corrupted", flipped, "flipped.vcv"},
      {"no marker", voice_archive("nomark.vcv", tensors("1, 1024, 32", 32768, 0.1f)),
       "no voice.json"},
      {"other kind",
       voice_archive("kind.vcv",
                     with_marker(tensors("1, 1024, 32", 32768, 0.1f), R"({"kind": "model"})")),
       "does not mark itself"},
      {"newer format",
       voice_archive("v2.vcv", with_marker(tensors("1, 1024, 32", 32768, 0.1f),
                                           R"({"kind": "vclone-voice", "format_version": 2})")),
       "format version 2"},
      {"marker not JSON",
       voice_archive("junk.vcv", with_marker(tensors("1, 1024, 32", 32768, 0.1f), "{\"kind")),
       "does not mark itself"},
      {"wrong shape",
       voice_archive("shape.vcv", with_marker(tensors("1, 1024, 31", 31744, 0.1f), marker)),
       "cond_latents has shape [1, 1024, 31]"},
      {"not finite",
       voice_archive("nan.vcv", with_marker(tensors("1, 1024, 32", 32768, NAN), marker)),
       "not finite"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(vclone_voice_load(c.path.c_str()), nullptr) << c.name;
    EXPECT_NE(last_error().find(c.reason), std::string::npos) << c.name << ": " << last_error();
  }
  EXPECT_EQ(vclone_voice_load(nullptr), nullptr);
  EXPECT_EQ(vclone_voice_save(shared->voice, shared->dir.file("no/such/folder.vcv").c_str()), -1);
  EXPECT_NE(last_error().find("folder.vcv"), std::string::npos) << last_error();
  EXPECT_EQ(vclone_voice_from_wav(shared->model, shared->dir.file("absent.wav").c_str()), nullptr);
  EXPECT_NE(last_error().find("absent.wav"), std::string::npos) << last_error();
}

namespace {

struct Stream {
  std::vector<float> samples;
  std::vector<size_t> chunks;
  int stop_after = -1;       // chunks to take before stopping; -1: all
  int sleep_ms = 0;          // a slow consumer
  std::string log_at_first;  // the log when the first chunk came
  LogCapture *log = nullptr;
};

int on_audio(const float *samples, int n, void *user_data) {
  auto *stream = static_cast<Stream *>(user_data);
  if (stream->chunks.empty() && stream->log) stream->log_at_first = stream->log->text();
  stream->samples.insert(stream->samples.end(), samples, samples + n);
  stream->chunks.push_back(static_cast<size_t>(n));
  if (stream->sleep_ms) std::this_thread::sleep_for(std::chrono::milliseconds(stream->sleep_ms));
  return stream->stop_after >= 0 && static_cast<int>(stream->chunks.size()) >= stream->stop_after;
}

}  // namespace

TEST(Stream, ChunksJoinToTheWholeResult) {
  vclone_options options = small_options(120, 21);
  options.stream_first_codes = 16;
  options.stream_chunk_codes = 32;
  const std::vector<float> whole = speak("Hello there, how are you?", options);
  Stream stream;
  LogCapture log;
  stream.log = &log;
  ASSERT_EQ(vclone_speak_stream(shared->model, "Hello there, how are you?", "en", shared->voice,
                                &options, on_audio, &stream),
            0)
      << last_error();
  ASSERT_EQ(stream.samples.size(), whole.size());
  EXPECT_GE(stream.chunks.size(), 4u);
  // The first chunk came before 50 codes were drawn.
  EXPECT_EQ(stream.log_at_first.find("[gpt] Generated 50/"), std::string::npos);
  // Each chunk is vocoded with enough neighbouring frames that the seams
  // match the whole signal up to float rounding.
  EXPECT_LT(max_difference(stream.samples, whole), 1e-4f);
}

TEST(Stream, CallbackStopsPromptlyAndTheModelStaysUsable) {
  vclone_options options = small_options(400, 2);
  Stream stream;
  stream.stop_after = 1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vclone_speak_stream(shared->model, "Hello there.", "en", shared->voice, &options,
                                on_audio, &stream),
            1);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(stream.chunks.size(), 1u);
  // Stopped after ~16 of 400 codes, not after all of them.
  Stream rest;
  options.max_codes = 40;
  const auto start_full = std::chrono::steady_clock::now();
  EXPECT_EQ(vclone_speak_stream(shared->model, "Hello there.", "en", shared->voice, &options,
                                on_audio, &rest),
            0);
  const double forty_codes =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_full).count();
  EXPECT_LT(seconds, 4 * forty_codes) << "the stop did not end the decoding";
}

TEST(Stream, SlowConsumerAndLongTextStreamEveryPieceInOrder) {
  std::string text = "First sentence here. Second one follows! And a third? ";
  text += text;
  vclone_options options = small_options(24, 8);
  options.split_text = 1;
  options.stream_first_codes = 8;
  options.stream_chunk_codes = 8;
  const std::vector<float> whole = speak(text.c_str(), options);
  // Sentences are short enough to pack into one piece; force pieces with a
  // text over the budget instead.
  std::string long_text;
  while (long_text.size() < 600)
    long_text += "Every piece is spoken in its turn, one after another. ";
  const std::vector<float> long_whole = speak(long_text.c_str(), options);
  Stream stream;
  stream.sleep_ms = 30;
  ASSERT_EQ(vclone_speak_stream(shared->model, long_text.c_str(), "en", shared->voice, &options,
                                on_audio, &stream),
            0);
  ASSERT_EQ(stream.samples.size(), long_whole.size());
  EXPECT_LT(max_difference(stream.samples, long_whole), 1e-4f);
  EXPECT_GT(whole.size(), 0u);
}

TEST(Stream, FailureBeforeAudioCallsNothing) {
  Stream stream;
  vclone_options options = small_options(8, 1);
  EXPECT_EQ(vclone_speak_stream(shared->model, "Hello.", "xx", shared->voice, &options, on_audio,
                                &stream),
            -1);
  EXPECT_EQ(
      vclone_speak_stream(shared->model, "Hello.", "en", shared->voice, &options, nullptr, &stream),
      -1);
  EXPECT_TRUE(stream.chunks.empty());
}

// ---- Many callers on one model ------------------------------------------------

namespace {

// One synthesis of the concurrency tests: what it says and how, and what came out.
struct Call {
  Call(std::string text_, std::string language_, vclone_options options_,
       const vclone_voice *voice_, int stop_after_chunks_ = 0)
      : text(std::move(text_)),
        language(std::move(language_)),
        options(options_),
        voice(voice_),
        stop_after_chunks(stop_after_chunks_) {}
  std::string text;
  std::string language;
  vclone_options options;
  const vclone_voice *voice;
  int stop_after_chunks;  // streaming: the callback stops after this many chunks
  std::vector<float> samples;
  int status = 0;  // vclone_speak: 0 or -1; vclone_speak_stream's result
  std::string error;
};

void run_call(vclone_model *model, Call &call) {
  if (call.stop_after_chunks > 0) {
    struct Progress {
      Call *call;
      int chunks = 0;
    } progress{&call};
    auto on_audio = [](const float *samples, int n, void *user) {
      auto *p = static_cast<Progress *>(user);
      p->call->samples.insert(p->call->samples.end(), samples, samples + n);
      return ++p->chunks >= p->call->stop_after_chunks ? 1 : 0;
    };
    call.status = vclone_speak_stream(model, call.text.c_str(), call.language.c_str(), call.voice,
                                      &call.options, on_audio, &progress);
  } else {
    int32_t n = 0;
    float *samples = vclone_speak(model, call.text.c_str(), call.language.c_str(), call.voice,
                                  &call.options, &n);
    call.status = samples ? 0 : -1;
    if (samples) call.samples.assign(samples, samples + n);
    vclone_free(samples);
  }
  if (call.status < 0) call.error = last_error();
}

// Runs the calls on threads of their own, each started `stagger` after the
// one before, so that they join the shared steps at different moments.
void run_together(vclone_model *model, std::vector<Call> &calls,
                  std::chrono::milliseconds stagger) {
  std::vector<std::thread> threads;
  for (Call &call : calls) {
    threads.emplace_back([model, &call] { run_call(model, call); });
    std::this_thread::sleep_for(stagger);
  }
  for (std::thread &thread : threads) thread.join();
}

}  // namespace

// A seeded call gives bit-identical samples alone and beside three others
// that start before and after it, at every precision: each row of a shared
// step is summed in the order it is alone.
TEST(Parallel, SeededCallIsBitIdenticalAloneOrInABatch) {
  for (int32_t precision : {VCLONE_PRECISION_F32, VCLONE_PRECISION_BF16, VCLONE_PRECISION_INT8}) {
    SCOPED_TRACE(precision);
    vclone_load_options load = vclone_default_load_options();
    load.precision = precision;
    load.max_parallel = 4;
    vclone_model *model =
        vclone_model_load(shared->model_path.c_str(), shared->vocab.c_str(), &load);
    ASSERT_NE(model, nullptr) << last_error();
    vclone_voice *voice = vclone_voice_from_wav(model, shared->reference.c_str());
    ASSERT_NE(voice, nullptr) << last_error();

    Call watched{"The one we compare.", "en", small_options(40, 11), voice};
    std::vector<Call> alone = {watched};
    run_together(model, alone, std::chrono::milliseconds(0));
    ASSERT_EQ(alone[0].status, 0) << alone[0].error;

    std::vector<Call> batch = {
        {"A longer neighbour that starts first.", "en", small_options(60, 1), voice},
        {"Another one.", "de", small_options(30, 2), voice},
        watched,
        {"A late one.", "fr", small_options(25, 3), voice},
    };
    batch[1].options.temperature = 0.5f;
    run_together(model, batch, std::chrono::milliseconds(150));
    for (const Call &call : batch) EXPECT_EQ(call.status, 0) << call.error;
    ASSERT_EQ(batch[2].samples.size(), alone[0].samples.size());
    EXPECT_EQ(std::memcmp(batch[2].samples.data(), alone[0].samples.data(),
                          alone[0].samples.size() * sizeof(float)),
              0);
    vclone_model_activity activity{};
    ASSERT_EQ(vclone_model_get_activity(model, &activity), 0);
    EXPECT_EQ(activity.max_parallel, 4);
    EXPECT_EQ(activity.running, 0);
    EXPECT_GT(activity.steps, 0);
    vclone_voice_free(voice);
    vclone_model_free(model);
  }
}

// Concurrent calls with different voices, languages, options and lengths:
// one stopped early by its callback, one failing on a bad language. Each
// gives what it gives alone; the stop and the failure touch no other call.
TEST(Parallel, MixedCallsEachGiveTheirOwnResult) {
  vclone_voice *other_voice = nullptr;
  {
    const std::string path = shared->dir.file("other.wav");
    fixture::write_reference(path, 16000, 2, 2.0);
    other_voice = vclone_voice_from_wav(shared->model, path.c_str());
    ASSERT_NE(other_voice, nullptr) << last_error();
  }
  std::vector<Call> calls = {
      {"First of all, a sentence. And a second one.", "en", small_options(20, 21), shared->voice},
      {"Eine andere Stimme.", "de", small_options(35, 22), other_voice},
      {"Stopped early.", "en", small_options(200, 23), shared->voice, 2},
      {"Not a language.", "xx", small_options(20, 24), shared->voice},
      {"Streamed whole.", "fr", small_options(30, 25), other_voice, 1000},
  };
  calls[1].options.speed = 1.3f;
  calls[1].options.top_k = 10;
  calls[2].options.stream_first_codes = 8;
  calls[2].options.stream_chunk_codes = 8;
  std::vector<Call> alone = calls;
  for (Call &call : alone) run_call(shared->model, call);
  run_together(shared->model, calls, std::chrono::milliseconds(40));

  for (size_t i = 0; i < calls.size(); i++) {
    SCOPED_TRACE(calls[i].text);
    EXPECT_EQ(calls[i].status, alone[i].status) << calls[i].error;
    EXPECT_EQ(calls[i].samples, alone[i].samples);
  }
  EXPECT_EQ(calls[2].status, 1);  // stopped by its callback
  EXPECT_NE(calls[3].error.find("Unknown language"), std::string::npos) << calls[3].error;
  EXPECT_EQ(calls[4].status, 0);
  vclone_voice_free(other_voice);
}

// With max_parallel places, further calls wait their turn; the steps never
// hold more syntheses than there are places, and do hold several at once.
TEST(Parallel, PlacesBoundTheSyntheses) {
  vclone_load_options load = vclone_default_load_options();
  load.max_parallel = 2;
  vclone_model *model = vclone_model_load(shared->model_path.c_str(), shared->vocab.c_str(), &load);
  ASSERT_NE(model, nullptr) << last_error();
  std::vector<Call> calls;
  for (uint64_t seed = 1; seed <= 4; seed++)
    calls.push_back({"Waiting in line.", "en", small_options(40, seed), shared->voice});
  std::atomic<bool> done{false};
  int most_running = 0, most_rows = 0, most_waiting = 0;
  std::thread watcher([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!done && std::chrono::steady_clock::now() < deadline) {
      vclone_model_activity activity{};
      vclone_model_get_activity(model, &activity);
      most_running = std::max(most_running, activity.running);
      most_rows = std::max(most_rows, activity.step_rows);
      most_waiting = std::max(most_waiting, activity.waiting);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  run_together(model, calls, std::chrono::milliseconds(0));
  done = true;
  watcher.join();
  for (const Call &call : calls) EXPECT_EQ(call.status, 0) << call.error;
  EXPECT_EQ(most_running, 2);
  EXPECT_EQ(most_rows, 2);
  EXPECT_GE(most_waiting, 1);
  vclone_model_free(model);

  load.max_parallel = 0;
  EXPECT_EQ(vclone_model_load(shared->model_path.c_str(), shared->vocab.c_str(), &load), nullptr);
  EXPECT_NE(last_error().find("max_parallel"), std::string::npos) << last_error();
}
