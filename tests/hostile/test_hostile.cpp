// Hostile arguments and files through the public functions. Each must end in
// its failure result (or a sound success) with a message, leave the engine
// usable, and crash nothing. One full-size random model is made per process;
// the tests run in order: failures while unloaded, then loaded, then after
// unloading.
#include "archive/manifest.h"
#include "support/archive_fixture.h"
#include "support/full_model.h"
#include "vclone.h"

#include <gtest/gtest.h>
#include <torch/utils.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using fixture::write_file;

// ---- Files ------------------------------------------------------------------

std::string u16(unsigned v) {
  return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8 & 0xff)};
}
std::string u32(uint32_t v) { return u16(v & 0xffff) + u16(v >> 16); }

std::string chunk(const std::string &id, const std::string &body) {
  return id + u32(static_cast<uint32_t>(body.size())) + body;
}

std::string fmt_chunk(unsigned channels, uint32_t rate, unsigned bits = 16) {
  const unsigned align = channels * bits / 8;
  return chunk("fmt ",
               u16(1) + u16(channels) + u32(rate) + u32(rate * align) + u16(align) + u16(bits));
}

std::string riff(const std::string &chunks) {
  return "RIFF" + u32(static_cast<uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
}

// frames of a 150 Hz tone as 16-bit samples.
std::string tone(int frames, int rate) {
  std::string bytes;
  for (int i = 0; i < frames; i++)
    bytes += u16(
        static_cast<uint16_t>(static_cast<int16_t>(8000 * std::sin(2 * M_PI * 150.0 * i / rate))));
  return bytes;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Files {
  fixture::TempDir dir;
  std::string model, vocab, reference, missing, directory, empty;
  std::string file(const std::string &name) const { return dir.file(name); }
};

Files *files = nullptr;

class HostileEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    files = new Files;
    const std::string model_dir = fixture::full_model_dir(files->file("model"));
    files->model = model_dir + "/model.pt";
    files->vocab = model_dir + "/vocab.json";
    files->reference = files->file("voice.wav");
    write_file(files->reference, riff(fmt_chunk(1, 22050) + chunk("data", tone(22050, 22050))));
    files->missing = files->file("missing");
    files->directory = files->file("directory");
    ASSERT_EQ(mkdir(files->directory.c_str(), 0755), 0);
    files->empty = files->file("empty");
    write_file(files->empty, "");
  }
  void TearDown() override {
    vclone_unload();
    delete files;
  }
};

const testing::Environment *const environment =
    testing::AddGlobalTestEnvironment(new HostileEnvironment);

// ---- Calls ------------------------------------------------------------------

std::string last_error() {
  const char *message = vclone_get_last_error();
  return message ? message : "";
}

bool starts_with(const std::string &text, const std::string &prefix) {
  return text.rfind(prefix, 0) == 0;
}

struct Result {
  int status = 0;
  std::string log;
};

Result load(const std::string &model, const std::string &vocab) {
  testing::internal::CaptureStderr();
  Result result;
  result.status = vclone_load(model.c_str(), vocab.c_str());
  result.log = testing::internal::GetCapturedStderr();
  return result;
}

struct Spoken {
  bool ok = false;
  int n = -1;
  std::string log;
};

Spoken speak(const char *text, const std::string &reference, const char *language, float speed) {
  torch::manual_seed(1);
  Spoken spoken;
  testing::internal::CaptureStderr();
  float *samples = vclone_tts(text, reference.c_str(), language, &spoken.n, speed);
  spoken.log = testing::internal::GetCapturedStderr();
  spoken.ok = samples != nullptr;
  if (samples) {
    for (int i = 0; i < spoken.n; i++)
      if (!std::isfinite(samples[i])) spoken.ok = false;
    free(samples);
  }
  return spoken;
}

// A small archive: a manifest over a data record of 8 floats.
void write_small_archive(const std::string &path, const std::string &manifest) {
  fixture::write_archive(path, {{"manifest.json", manifest},
                                {"data/0", fixture::float_bytes(fixture::counting_floats(8))}});
}

}  // namespace

// ---- Unloaded -----------------------------------------------------------------

TEST(Hostile, NullArgumentsWithoutModel) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(manifest_open(nullptr), nullptr);
  EXPECT_EQ(manifest_count(nullptr), -1);
  manifest_close(nullptr);
  EXPECT_EQ(vclone_tts_to_file(nullptr, nullptr, nullptr, nullptr, 1.0f), -1);
  EXPECT_EQ(last_error(), "Not loaded");
  EXPECT_EQ(vclone_load(nullptr, nullptr), -1);
  EXPECT_EQ(last_error(), "model_path and vocab_path required");
  vclone_unload();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("[manifest] Failed: no archive path given"), std::string::npos) << log;
}

TEST(Hostile, BadArchives) {
  const std::string truncated = files->file("truncated.pt");
  const std::string no_manifest = files->file("no_manifest.pt");
  const std::string bad_number = files->file("bad_number.pt");
  const std::string text = files->file("text.pt");
  write_small_archive(truncated, fixture::manifest_entry("mel_stats", "0", "0", "8", 8));
  const std::string whole = read_file(truncated);
  write_file(truncated, whole.substr(0, whole.size() * 2 / 3));
  fixture::write_archive(no_manifest, {{"data/0", fixture::float_bytes({1, 2})}});
  write_small_archive(bad_number, "{" + fixture::manifest_entry("w", "0", "-", "1", 1) + "}");
  write_file(text, "{\"not\": \"an archive\"}");

  struct Case {
    const char *name;
    std::string path, line;
  } cases[] = {
      {"missing file", files->missing, "[manifest] Failed: "},
      {"directory", files->directory, "[manifest] Failed: "},
      {"empty file", files->empty, "[manifest] Failed: "},
      {"truncated archive", truncated, "[manifest] Failed: "},
      {"zip without a manifest", no_manifest,
       "[manifest] Failed: " + no_manifest + " has no manifest.json"},
      {"manifest with a bad number", bad_number, "[manifest] Failed: "},
      {"text file", text, "[manifest] Failed: "},
      {"WAV file", files->reference, "[manifest] Failed: "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    void *handle = manifest_open(c.path.c_str());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(handle, nullptr);
    manifest_close(handle);
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
  }

  // Through vclone_load, which builds the modules before it opens the archive.
  for (const Case &c : {cases[1], cases[3], cases[4]}) {
    SCOPED_TRACE(c.name);
    Result result = load(c.path, files->vocab);
    EXPECT_EQ(result.status, -1);
    // The message names the file and the reason, not only the stage.
    EXPECT_EQ(last_error().rfind("Failed to load manifest: ", 0), 0u) << last_error();
    EXPECT_NE(last_error().find(c.path), std::string::npos) << last_error();
  }
  int n = 5;
  EXPECT_EQ(vclone_tts("Hi.", files->reference.c_str(), "en", &n, 60.0f), nullptr);
  EXPECT_EQ(last_error(), "Not loaded");
}

// Sizes and offsets chosen so that a product, a sum or a byte count would wrap
// in 64 bits or send the copy past the record if it were not checked. (A name
// that holds "offset" or "shape" is no tensor name, so these avoid both.)
TEST(Hostile, ManifestWithHugeShapesAndOffsets) {
  using fixture::manifest_entry;
  const std::string path = files->file("huge.pt");
  const std::string max = std::to_string(std::numeric_limits<int64_t>::max());
  struct Case {
    const char *name, *line;
  } cases[] = {
      {"mel_stats", "[manifest] Data too small for mel_stats"},  // offset past the record
      {"wrapping_product", "[manifest] Shape does not match numel"},
      {"huge_numel", "[manifest] Data too small for huge_numel"},
      {"end_wraps", "[manifest] Data too small for end_wraps"},
      {"before_start", "[manifest] Negative offset"},
      {"negative_size", "[manifest] Shape does not match numel -1 for negative_size"},
      {"numel_past_record", "[manifest] Data too small for numel_past_record"},
  };
  write_small_archive(
      path, "{" + manifest_entry("mel_stats", "0", "1099511627776", "1", 1) + ", " +
                manifest_entry("wrapping_product", "0", "0", "4294967296, 4294967296", 0) + ", " +
                "\"huge_numel\": {\"storage_key\": \"0\", \"offset\": 0, \"shape\": [" + max +
                "], \"numel\": " + max + "}, " + manifest_entry("end_wraps", "0", max, "2", 2) +
                ", " + manifest_entry("before_start", "0", "-1", "2", 2) + ", " +
                manifest_entry("negative_size", "0", "0", "-1", -1) + ", " +
                manifest_entry("numel_past_record", "0", "0", "3, 3", 9) + "}");

  testing::internal::CaptureStderr();
  void *handle = manifest_open(path.c_str());
  testing::internal::GetCapturedStderr();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(manifest_count(handle), 7);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    at::Tensor tensor = load_tensor(static_cast<TensorManifest *>(handle), c.name);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(tensor.defined());
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
  }
  manifest_close(handle);

  // Loading such an archive fails cleanly: a model without its weights would
  // only speak from initial values.
  Result result = load(path, files->vocab);
  EXPECT_EQ(result.status, -1) << result.log;
  EXPECT_NE(result.log.find("[vclone] Archive: 7 tensors\n"), std::string::npos) << result.log;
  EXPECT_NE(last_error().find("mel_stats"), std::string::npos) << last_error();
  int n_unused = 0;
  EXPECT_EQ(vclone_tts("Hi.", files->reference.c_str(), "en", &n_unused, 60.0f), nullptr);
  EXPECT_EQ(last_error(), "Not loaded");
}

// 64 MB of name-value pairs before one brace: a scanner that searched to the
// brace once per pair would run for hours here; a linear one takes a moment.
TEST(Hostile, ManifestOfManyPairsBeforeOneBrace) {
  const std::string path = files->file("pairs.pt");
  std::string text;
  text.reserve(64 << 20);
  while (text.size() < (64u << 20)) text += "\"name\": 1, ";
  text += "{}";
  write_small_archive(path, text);
  // Not JSON: refused at the first pair, long before the end of the text.
  testing::internal::CaptureStderr();
  void *handle = manifest_open(path.c_str());
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(handle, nullptr) << log;
  EXPECT_NE(log.find("parse error at line 1"), std::string::npos) << log;
}

TEST(Hostile, BadVocabularies) {
  const std::string truncated = files->file("truncated.json");
  const std::string whole = read_file(files->vocab);
  write_file(truncated, whole.substr(0, whole.find("\"merges\"")));
  const std::string big_id = files->file("big_id.json");
  write_file(big_id, R"({"model": {"vocab": {"a": 99999999999}, "merges": []}})");
  const std::string lone_minus = files->file("lone_minus.json");
  write_file(lone_minus, R"({"model": {"vocab": {"a": -}, "merges": []}})");
  const std::string no_model = files->file("no_model.json");
  write_file(no_model, R"({"vocab": {"a": 1}, "merges": []})");
  // Valid JSON whose ids the decoder has no text rows for: refused at load,
  // not at the first text that uses them.
  const std::string beyond_rows = files->file("beyond_rows.json");
  write_file(beyond_rows, R"({"model": {"vocab": {"a": 1, "[en]": 6681}, "merges": []}})");
  const std::string negative = files->file("negative.json");
  write_file(negative, R"({"model": {"vocab": {"b": -3}, "merges": []}})");

  struct Case {
    const char *name;
    std::string path, line;
  } cases[] = {
      {"missing file", files->missing, "No such file or directory"},
      {"directory", files->directory, "Is a directory"},
      {"empty file", files->empty, "parse error at line 1, column 1"},
      {"cut before the merges", truncated, "parse error"},
      {"id out of range", big_id, "the id of 'a' is not a 32-bit integer"},
      {"id without digits", lone_minus, "expected digit after '-'"},
      {"no model key", no_model, "no \"model\" object"},
      {"id beyond the text rows", beyond_rows,
       "token \"[en]\" has id 6681; this model's text ids are 0 to 6680"},
      {"negative id", negative, "token \"b\" has id -3"},
      {"WAV file", files->reference, "parse error at line 1, column 1"},
      {"archive", files->model, "parse error at line 1, column 1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Result result = load(files->model, c.path);
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(last_error().rfind("Failed to load tokenizer: ", 0), 0u) << last_error();
    EXPECT_NE(last_error().find(c.path), std::string::npos) << last_error();
    EXPECT_NE(last_error().find(c.line), std::string::npos) << last_error();
    EXPECT_EQ(result.log.find("[vclone] Initializing modules"), std::string::npos) << result.log;
  }
}

// ---- Loaded -------------------------------------------------------------------

TEST(Hostile, LoadsAfterTheFailures) {
  Result result = load(files->model, files->vocab);
  ASSERT_EQ(result.status, 0) << result.log;
  Spoken spoken = speak("Loaded.", files->reference, "en", 60.0f);
  EXPECT_TRUE(spoken.ok) << spoken.log << last_error();
}

TEST(Hostile, NullArgumentsWithModel) {
  const std::string out = files->file("null.wav");
  struct Case {
    const char *name, *text, *reference, *language;
  } cases[] = {
      {"null text", nullptr, files->reference.c_str(), "en"},
      {"null reference", "Hi.", nullptr, "en"},
      {"null language", "Hi.", files->reference.c_str(), nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    EXPECT_EQ(vclone_tts_to_file(c.text, c.reference, c.language, out.c_str(), 60.0f), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(last_error(), "Bad args");
  }
  struct stat info;
  EXPECT_NE(stat(out.c_str(), &info), 0) << "a failed call created " << out;
}

TEST(Hostile, BadReferences) {
  const std::string path = files->file("bad.wav");
  const std::string second = tone(22050, 22050);
  struct Case {
    const char *name;
    std::string bytes;  // written to bad.wav, unless path is set
    std::string path, message, reason;
  } cases[] = {
      {"missing file", "", files->missing, "Failed to read: ", "No such file or directory"},
      {"directory", "", files->directory, "Failed to read: ", "Is a directory"},
      {"empty file", "", files->empty, "Failed to read: ", "not an audio file"},
      {"archive", "", files->model, "Failed to read: ", "not an audio file"},
      {"header only", riff(fmt_chunk(1, 22050)), "", "Failed to read: ", "No 'data' chunk"},
      {"zero sample rate", riff(fmt_chunk(1, 0) + chunk("data", second)), "",
       "Failed to read: ", "not an audio file"},
      {"one sample", riff(fmt_chunk(1, 22050) + chunk("data", tone(1, 22050))), "",
       "Reference too short: ", "1 samples"},
      {"one frame of many channels",
       riff(fmt_chunk(65535, 22050) + chunk("data", std::string(2 * 65535, '\1'))), "",
       "Failed to read: ", "Too many channels"},
      // 30000 samples at 1 Hz would resample to 660 million at 22050 Hz.
      {"eight hours at 1 Hz", riff(fmt_chunk(1, 1) + chunk("data", tone(30000, 22050))), "",
       "Failed to read: ", "a reference may last at most 600 s"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string &reference = c.path.empty() ? path : c.path;
    if (c.path.empty()) write_file(path, c.bytes);
    Spoken spoken = speak("Hi.", reference, "en", 60.0f);
    EXPECT_FALSE(spoken.ok);
    EXPECT_EQ(spoken.n, 0);
    EXPECT_TRUE(starts_with(last_error(), c.message)) << last_error();
    EXPECT_NE(last_error().find(c.reason), std::string::npos) << last_error();
    EXPECT_EQ(spoken.log.find("[gpt]"), std::string::npos) << "no generation for a bad reference";
  }
  // What a tolerant reader makes of damaged files that still hold samples:
  // the samples there are, as players do.
  struct Readable {
    const char *name;
    std::string bytes;
  } readable[] = {
      {"data cut short", riff(fmt_chunk(1, 22050) + chunk("data", second)).substr(0, 1000)},
      {"huge data size", riff(fmt_chunk(1, 22050)) + "data" + u32(0xfffffff0u) + tone(100, 22050)},
      {"24-bit samples", riff(fmt_chunk(1, 22050, 24) + chunk("data", second))},
  };
  for (const Readable &r : readable) {
    SCOPED_TRACE(r.name);
    write_file(path, r.bytes);
    Spoken spoken = speak("Hi.", path, "en", 60.0f);
    EXPECT_TRUE(spoken.ok) << last_error();
  }
  Spoken after = speak("Still works.", files->reference, "en", 60.0f);
  EXPECT_TRUE(after.ok) << after.log << last_error();
}

TEST(Hostile, OddTextsAndLanguages) {
  std::string accented;
  for (int i = 0; i < 3000; i++) accented += "\xc3\xa9";
  std::string words;
  while (words.size() < 200000) words += "lorem ipsum dolor sit amet ";
  struct Case {
    const char *name;
    std::string text, language;
    bool speaks;
    std::string message;  // for a failure
  } cases[] = {
      {"empty text", "", "en", true, ""},
      {"only spaces", "   \t\r\n  ", "en", true, ""},
      {"invalid UTF-8 and control bytes", "\xff\xfe \xc3 caf\xe9 \xe2\x82 \x80\x01\x7f\v\f", "en",
       true, ""},
      {"empty language", "Hi.", "", true, ""},
      {"unknown language with brackets", "Hi.", "]x[", true, ""},
      {"3000 accented letters", accented, "en", false, "Text too long: "},
      {"5000 open brackets", std::string(5000, '['), "en", false, "Text too long: "},
      {"200000 characters of words", words, "en", false, "Text too long: "},
      {"long language", "Hi.", std::string(5000, 'q'), false, "Text too long: "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Spoken spoken = speak(c.text.c_str(), files->reference, c.language.c_str(), 60.0f);
    EXPECT_EQ(spoken.ok, c.speaks) << spoken.log << last_error();
    if (c.speaks) {
      EXPECT_GT(spoken.n, 0);
    } else {
      EXPECT_EQ(spoken.n, 0);
      EXPECT_TRUE(starts_with(last_error(), c.message)) << last_error();
    }
  }
}

// A tiny speed asks for more codes than the position tables hold; the budget
// stops at the table size and the call succeeds.
TEST(Hostile, TinySpeedIsCapped) {
  Spoken spoken = speak("A tiny speed.", files->reference, "en", 1e-9f);
  ASSERT_TRUE(spoken.ok) << spoken.log << last_error();
  EXPECT_GT(spoken.n, 0);
  EXPECT_EQ(spoken.log.find("position"), std::string::npos) << spoken.log;
}

// ---- Unloaded again ------------------------------------------------------------

TEST(Hostile, CallsAfterUnload) {
  vclone_unload();
  vclone_unload();
  int n = 5;
  EXPECT_EQ(vclone_tts("Hi.", files->reference.c_str(), "en", &n, 60.0f), nullptr);
  EXPECT_EQ(last_error(), "Not loaded");
  EXPECT_EQ(n, 5);
  EXPECT_EQ(vclone_tts_to_file("Hi.", files->reference.c_str(), "en",
                               files->file("after.wav").c_str(), 60.0f),
            -1);
  EXPECT_EQ(last_error(), "Not loaded");

  // The archive functions do not depend on a loaded model.
  testing::internal::CaptureStderr();
  void *handle = manifest_open(files->model.c_str());
  testing::internal::GetCapturedStderr();
  ASSERT_NE(handle, nullptr);
  EXPECT_GT(manifest_count(handle), 900);
  manifest_close(handle);

  Result result = load(files->model, files->vocab);
  ASSERT_EQ(result.status, 0) << result.log;
  Spoken spoken = speak("Loaded again.", files->reference, "en", 60.0f);
  EXPECT_TRUE(spoken.ok) << spoken.log << last_error();
}
