#include "archive/manifest.h"
#include "support/archive_fixture.h"
#include "vclone.h"

#include <gtest/gtest.h>
#include <torch/types.h>

using fixture::float_bytes;
using fixture::manifest_entry;

namespace {

struct OpenResult {
  TensorManifest *manifest;
  std::string log;
};

OpenResult open_with_log(const std::string &path) {
  testing::internal::CaptureStderr();
  TensorManifest *manifest = open_manifest(path.c_str());
  return {manifest, testing::internal::GetCapturedStderr()};
}

std::string one_tensor_manifest(const std::string &offset = "2", const std::string &shape = "2, 3",
                                long numel = 6) {
  return "{" + manifest_entry("w", "0", offset, shape, numel) + "}";
}

}  // namespace

TEST(Manifest, LoadsTensorAtItsOffset) {
  fixture::TempDir dir;
  std::string path = dir.file("model.pt");
  fixture::write_archive(path, {{"manifest.json", one_tensor_manifest()},
                                {"data/0", float_bytes(fixture::counting_floats(8))}});
  TensorManifest *manifest = open_manifest(path.c_str());
  ASSERT_NE(manifest, nullptr);
  EXPECT_EQ(manifest_count(manifest), 1);
  at::Tensor w = load_tensor(manifest, "w");
  ASSERT_TRUE(w.defined());
  EXPECT_EQ(w.sizes(), (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(w.dtype(), torch::kFloat32);
  EXPECT_TRUE(torch::equal(w, torch::arange(2, 8, torch::kFloat32).reshape({2, 3})));
  EXPECT_FALSE(load_tensor(manifest, "absent").defined());
  manifest_close(manifest);
}

TEST(Manifest, NullHandles) {
  EXPECT_EQ(manifest_count(nullptr), -1);
  manifest_close(nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(manifest_open(nullptr), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[manifest]"), std::string::npos);
}

// Entries that must never read outside their record.
TEST(Manifest, EntriesOutsideTheRecordAreRefused) {
  struct Case {
    const char *name;
    std::string manifest;
    int floats;
    const char *line;
  } cases[] = {
      {"record one float short", one_tensor_manifest(), 7, "[manifest] Data too small for w"},
      {"offset past the end", one_tensor_manifest("3000000000"), 8, "[manifest] Data too small for w"},
      {"negative offset", one_tensor_manifest("-2"), 8, "for w"},
      {"shape larger than numel", one_tensor_manifest("0", "4, 3", 6), 8, "for w"},
      {"shape smaller than numel", one_tensor_manifest("0", "1", 6), 8, "for w"},
      {"negative size", one_tensor_manifest("0", "-2, -3", 6), 8, "for w"},
      {"numel beyond 64 bits", one_tensor_manifest("0", "4294967296, 4294967296", 0), 8, "for w"},
      // -1 is no element count, whatever the shape.
      {"numel -1 with a negative size", one_tensor_manifest("0", "-1", -1), 8, "for w"},
      {"numel -1 with sizes beyond 64 bits", one_tensor_manifest("0", "4294967296, 4294967296", -1),
       8, "for w"},
      // Empty, but the strides of the other sizes would wrap around.
      {"empty with huge sizes", one_tensor_manifest("0", "0, 5, 2305843009213693952", 0), 8,
       "for w"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fixture::TempDir dir;
    std::string path = dir.file("model.pt");
    fixture::write_archive(path, {{"manifest.json", c.manifest},
                                  {"data/0", float_bytes(fixture::counting_floats(c.floats))}});
    TensorManifest *manifest = open_manifest(path.c_str());
    ASSERT_NE(manifest, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(load_tensor(manifest, "w").defined());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("[manifest]"), std::string::npos) << log;
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
    manifest_close(manifest);
  }
}

TEST(Manifest, ScannerRules) {
  std::unordered_map<std::string, ManifestEntry> entries;
  scan_manifest("{\"format\": 3, \"a\": {\"numel\": 4, \"shape\": [2,2], \"offset\": 8, "
                "\"stride\": [2, 1], \"storage_key\": \"k\"},"
                " \"b.offset_bias\": {\"storage_key\": \"0\", \"offset\": 0, \"shape\": [1], \"numel\": 1},"
                " \"shape_table\": {\"storage_key\": \"0\", \"offset\": 0, \"shape\": [1], \"numel\": 1},"
                " \"s\": {\"storage_key\": \"1\", \"offset\":\t 5, \"shape\": [], \"numel\": 1},"
                " \"nested\": {\"meta\": {\"x\": 1}}}",
                entries);
  ASSERT_EQ(entries.count("a"), 1u);
  const ManifestEntry &a = entries["a"];
  EXPECT_EQ(a.storage_key, "k");
  EXPECT_EQ(a.offset, 8);
  EXPECT_EQ(a.shape, (std::vector<int64_t>{2, 2}));
  EXPECT_EQ(a.stride, (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(a.numel, 4);
  EXPECT_EQ(entries.count("format"), 0u);
  EXPECT_EQ(entries.count("b.offset_bias"), 0u);
  EXPECT_EQ(entries.count("shape_table"), 0u);
  EXPECT_EQ(entries["s"].offset, 5);
  EXPECT_TRUE(entries["s"].shape.empty());
  // An entry ends at its first closing brace: "nested" reads its inner object.
  EXPECT_EQ(entries.count("nested"), 1u);
}

TEST(Manifest, ScalarFromEmptyShape) {
  fixture::TempDir dir;
  std::string path = dir.file("model.pt");
  fixture::write_archive(path, {{"manifest.json", "{" + manifest_entry("s", "0", "3", "", 1) + "}"},
                                {"data/0", float_bytes(fixture::counting_floats(4))}});
  TensorManifest *manifest = open_manifest(path.c_str());
  ASSERT_NE(manifest, nullptr);
  at::Tensor s = load_tensor(manifest, "s");
  ASSERT_TRUE(s.defined());
  EXPECT_EQ(s.dim(), 0);
  EXPECT_EQ(s.item<float>(), 3.0f);
  manifest_close(manifest);
}

TEST(Manifest, OpenFailures) {
  fixture::TempDir dir;
  std::string letters = dir.file("letters.pt");
  fixture::write_archive(letters, {{"manifest.json", one_tensor_manifest("abc")},
                                   {"data/0", float_bytes(fixture::counting_floats(8))}});
  std::string no_manifest = dir.file("no_manifest.pt");
  fixture::write_archive(no_manifest, {{"data/0", float_bytes(fixture::counting_floats(8))}});
  std::string not_zip = dir.file("not_zip.pt");
  fixture::write_file(not_zip, "this is not a zip archive at all");
  std::string empty = dir.file("empty.pt");
  fixture::write_file(empty, "");

  struct Case {
    const char *name;
    std::string path;
    std::string line;
  } cases[] = {
      {"offset written as letters", letters, "[manifest] Failed: stoll"},
      {"zip without manifest", no_manifest, "[manifest] No manifest.json in " + no_manifest},
      {"not a zip", not_zip, "[manifest] Failed: "},
      {"empty file", empty, "[manifest] Failed: "},
      {"missing file", dir.file("missing.pt"), "[manifest] Failed: "},
      {"a directory", dir.file(""), "[manifest] Failed: "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    OpenResult result = open_with_log(c.path);
    EXPECT_EQ(result.manifest, nullptr);
    EXPECT_NE(result.log.find(c.line), std::string::npos) << result.log;
  }
}

TEST(Manifest, ManifestInASubfolder) {
  fixture::TempDir dir;
  std::string path = dir.file("model.pt");
  fixture::write_archive(path, {{"config/manifest.json", one_tensor_manifest()},
                                {"data/0", float_bytes(fixture::counting_floats(8))}});
  TensorManifest *manifest = open_manifest(path.c_str());
  ASSERT_NE(manifest, nullptr);
  EXPECT_EQ(manifest_count(manifest), 1);
  EXPECT_TRUE(load_tensor(manifest, "w").defined());
  manifest_close(manifest);
}

TEST(Manifest, SharedAndMissingRecords) {
  fixture::TempDir dir;
  std::string path = dir.file("model.pt");
  std::string manifest_text = "{" + manifest_entry("a", "0", "0", "2", 2) + ", " +
                              manifest_entry("b", "0", "2", "3", 3) + ", " +
                              manifest_entry("c", "1", "1", "1", 1) + ", " +
                              manifest_entry("gone", "7", "0", "1", 1) + "}";
  fixture::write_archive(path, {{"manifest.json", manifest_text},
                                {"data/0", float_bytes(fixture::counting_floats(5))},
                                {"data/1", float_bytes({10, 11})}});
  TensorManifest *manifest = open_manifest(path.c_str());
  ASSERT_NE(manifest, nullptr);
  EXPECT_EQ(manifest_count(manifest), 4);
  for (int round = 0; round < 2; round++) {
    EXPECT_TRUE(torch::equal(load_tensor(manifest, "a"), torch::tensor({0.f, 1.f})));
    EXPECT_TRUE(torch::equal(load_tensor(manifest, "c"), torch::tensor({11.f})));
    EXPECT_TRUE(torch::equal(load_tensor(manifest, "b"), torch::tensor({2.f, 3.f, 4.f})));
  }
  testing::internal::CaptureStderr();
  EXPECT_FALSE(load_tensor(manifest, "gone").defined());
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("[manifest] Failed to load tensor gone: "), std::string::npos) << log;
  // A failed lookup leaves the handle usable.
  EXPECT_TRUE(load_tensor(manifest, "a").defined());
  manifest_close(manifest);
}

// Archives written by the project's Python tool, with thousands of tensors.
TEST(Manifest, ReadsArchivesOfThePythonWriter) {
  fixture::TempDir dir;
  for (const char *layout : {"False", "True"}) {
    SCOPED_TRACE(layout);
    std::string path = dir.file(std::string("many_") + layout + ".pt");
    std::string command = std::string("/usr/bin/python3 -c \"import sys, torch; sys.path.insert(0, '") +
                          VCLONE_SOURCE_DIR + "/tools'); import vclone_archive as va; "
                          "va.write_archive('" + path + "', {'t%d' % i: torch.full((i % 3 + 1, 2), float(i)) "
                          "for i in range(3000)}, shared_record=" + layout + ")\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    TensorManifest *manifest = open_manifest(path.c_str());
    ASSERT_NE(manifest, nullptr);
    EXPECT_EQ(manifest_count(manifest), 3000);
    at::Tensor t = load_tensor(manifest, "t2999");
    ASSERT_TRUE(t.defined());
    EXPECT_TRUE(torch::equal(t, torch::full({3, 2}, 2999.0f)));
    EXPECT_TRUE(torch::equal(load_tensor(manifest, "t4"), torch::full({2, 2}, 4.0f)));
    manifest_close(manifest);
  }
}
