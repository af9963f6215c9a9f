// Every committed fuzz input, run through its target's body: the seeds of
// tests/fuzz/corpus and the inputs that once crashed, in tests/fuzz/regressions.
#include "fuzz/fuzz_harness.h"
#include "fuzz/fuzz_serve.h"
#include "fuzz/fuzz_wyoming.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;

using Body = void (*)(const uint8_t *, size_t);

struct Target {
  const char *name;
  Body body;
} const targets[] = {
    {"wav", fuzz::wav},
    {"archive", fuzz::archive},
    {"manifest_text", fuzz::manifest_text},
    {"vocabulary", fuzz::vocabulary},
    {"encode_text", fuzz::encode_text},
    {"speech_request", fuzz_serve::speech_request},
    {"upload_form", fuzz_serve::upload_form},
    {"wyoming_event", fuzz::wyoming_event},
};

std::vector<fs::path> inputs_in(const fs::path &dir) {
  std::vector<fs::path> files;
  if (!fs::is_directory(dir)) return files;
  for (const auto &item : fs::directory_iterator(dir))
    if (item.is_regular_file()) files.push_back(item.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string read_bytes(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path fuzz_folder(const char *kind) { return fs::path(VCLONE_SOURCE_DIR) / "tests/fuzz" / kind; }

// Runs every input of one target's folder; returns how many ran.
int replay(const Target &target, const char *kind) {
  int count = 0;
  for (const fs::path &file : inputs_in(fuzz_folder(kind) / target.name)) {
    SCOPED_TRACE(file.string());
    const std::string bytes = read_bytes(file);
    testing::internal::CaptureStderr();
    target.body(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    testing::internal::GetCapturedStderr();
    count++;
  }
  return count;
}

}  // namespace

// A missing or empty folder must fail: a replay of nothing proves nothing.
TEST(FuzzReplay, SeedCorpus) {
  ASSERT_TRUE(fs::is_directory(fuzz_folder("corpus"))) << fuzz_folder("corpus");
  for (const Target &target : targets) {
    SCOPED_TRACE(target.name);
    int count = replay(target, "corpus");
    EXPECT_GT(count, 0) << "no seeds for " << target.name;
    printf("replayed %d seeds of %s\n", count, target.name);
  }
}

// Not every target has needed a regression yet, but the folder holds some.
TEST(FuzzReplay, Regressions) {
  ASSERT_TRUE(fs::is_directory(fuzz_folder("regressions"))) << fuzz_folder("regressions");
  int total = 0;
  for (const Target &target : targets) {
    SCOPED_TRACE(target.name);
    int count = replay(target, "regressions");
    printf("replayed %d regressions of %s\n", count, target.name);
    total += count;
  }
  EXPECT_GT(total, 0) << "no regression inputs replayed";
}
