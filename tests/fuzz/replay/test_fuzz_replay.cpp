// Every committed fuzz input, run through its target's body: the seeds of
// tests/fuzz/corpus and the inputs that once crashed, in tests/fuzz/regressions.
#include "fuzz/fuzz_harness.h"

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

int replay(const Target &target, const char *kind) {
  const fs::path dir = fs::path(VCLONE_SOURCE_DIR) / "tests/fuzz" / kind / target.name;
  int count = 0;
  for (const fs::path &file : inputs_in(dir)) {
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

TEST(FuzzReplay, SeedCorpus) {
  for (const Target &target : targets) {
    SCOPED_TRACE(target.name);
    EXPECT_GT(replay(target, "corpus"), 0) << "no seeds for " << target.name;
  }
}

TEST(FuzzReplay, Regressions) {
  for (const Target &target : targets) {
    SCOPED_TRACE(target.name);
    replay(target, "regressions");
  }
}
