#include "archive/manifest.h"
#include "support/archive_fixture.h"
#include "util/errors.h"
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

// A failed open records its own reason; an earlier, unrelated error must not
// be what the caller reads ("unknown error" or a stale message).
TEST(Manifest, FailedOpenRecordsWhy) {
  fixture::TempDir dir;
  const std::string not_archive = dir.file("hostname");
  fixture::write_file(not_archive, "a text file\n");
  struct Case {
    const char *path;
    const char *reason;
  } cases[] = {{nullptr, "no archive path"},
               {"/nonexistent/model.pt", "No such file"},
               {not_archive.c_str(), "not a zip archive"}};
  for (const Case &c : cases) {
    set_last_error("stale");
    testing::internal::CaptureStderr();
    EXPECT_EQ(manifest_open(c.path), nullptr);
    testing::internal::GetCapturedStderr();
    const char *message = vclone_get_last_error();
    ASSERT_NE(message, nullptr);
    EXPECT_NE(std::string(message).find(c.reason), std::string::npos) << message;
    EXPECT_EQ(std::string(message).find("stale"), std::string::npos) << message;
  }
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
      {"offset past the end", one_tensor_manifest("3000000000"), 8,
       "[manifest] Data too small for w"},
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

TEST(Manifest, ParserRules) {
  std::unordered_map<std::string, ManifestEntry> entries;
  std::string error;
  ASSERT_TRUE(parse_manifest(
      "{\"format\": 3, \"a\": {\"numel\": 4, \"shape\": [2,2], \"offset\": 8, "
      "\"stride\": [2, 1], \"storage_key\": \"k\"},"
      " \"b.offset_bias\": {\"storage_key\": \"0\", \"offset\": 0, \"shape\": [1], \"numel\": 1},"
      " \"shape_table\": {\"storage_key\": \"0\", \"offset\": 0, \"shape\": [1], \"numel\": 1},"
      " \"s\": {\"storage_key\": \"1\", \"offset\":\t 5, \"shape\": [], \"numel\": 1},"
      " \"no_offset\": {\"storage_key\": \"2\", \"shape\": [3], \"numel\": 3},"
      " \"caf\\u00e9 \\\"q\\\"\": {\"storage_key\": \"k\\/2\", \"shape\": [1], \"numel\": 1},"
      " \"metadata\": {\"meta\": {\"x\": 1}}}",
      entries, &error))
      << error;
  ASSERT_EQ(entries.count("a"), 1u);
  const ManifestEntry &a = entries["a"];
  EXPECT_EQ(a.storage_key, "k");
  EXPECT_EQ(a.offset, 8);
  EXPECT_EQ(a.shape, (std::vector<int64_t>{2, 2}));
  EXPECT_EQ(a.stride, (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(a.numel, 4);
  EXPECT_EQ(entries.count("format"), 0u);
  // Names that merely contain a field's name are tensors like any other.
  EXPECT_EQ(entries.count("b.offset_bias"), 1u);
  EXPECT_EQ(entries.count("shape_table"), 1u);
  EXPECT_EQ(entries["s"].offset, 5);
  EXPECT_TRUE(entries["s"].shape.empty());
  EXPECT_EQ(entries["no_offset"].offset, 0);
  EXPECT_EQ(entries["caf\xc3\xa9 \"q\""].storage_key, "k/2");
  EXPECT_EQ(entries.count("metadata"), 0u);
  EXPECT_EQ(entries.size(), 6u);
}

// Malformed text fails with the parser's message and position; a mistyped
// field fails naming its entry.
TEST(Manifest, ParserRefusals) {
  struct Case {
    const char *name;
    std::string text;
    std::string error_part;
  } cases[] = {
      {"number written as letters", one_tensor_manifest("abc"),
       "parse error at line 1, column 38: syntax error while parsing value"},
      {"cut short", "{\"w\": {\"storage_key\": \"0\"", "parse error at line 1, column 26"},
      {"second line", "{\n  \"w\": {\"offset\": -}}", "parse error at line 2, column 20"},
      {"empty", "", "parse error at line 1, column 1"},
      {"not an object", "[1, 2]", "the manifest is not a JSON object"},
      {"key not a string", "{\"w\": {\"storage_key\": 0, \"shape\": [], \"numel\": 1}}",
       "entry 'w': storage_key is not a string"},
      {"float offset", one_tensor_manifest("1.5"), "entry 'w': offset is not a 64-bit integer"},
      {"offset beyond 64 bits", one_tensor_manifest("9223372036854775808"),
       "entry 'w': offset is not a 64-bit integer"},
      {"no numel", "{\"w\": {\"storage_key\": \"0\", \"shape\": [1]}}",
       "entry 'w': numel is not a 64-bit integer"},
      {"no shape", "{\"w\": {\"storage_key\": \"0\", \"numel\": 1}}",
       "entry 'w': shape is not a list of 64-bit integers"},
      {"shape of strings", one_tensor_manifest("0", "\"2\""),
       "entry 'w': shape is not a list of 64-bit integers"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::unordered_map<std::string, ManifestEntry> entries;
    std::string error;
    EXPECT_FALSE(parse_manifest(c.text, entries, &error));
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
  }
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
  std::string missing = dir.file("missing.pt");

  struct Case {
    const char *name;
    std::string path;
    std::string error;  // the start of the message
  } cases[] = {
      {"offset written as letters", letters,
       "bad manifest.json in " + letters +
           ": [json.exception.parse_error.101] parse error at line 1, column 38"},
      {"zip without manifest", no_manifest, no_manifest + " has no manifest.json"},
      {"not a zip", not_zip, not_zip + " is not a zip archive ("},
      {"empty file", empty, empty + " is not a zip archive ("},
      {"missing file", missing, "cannot open " + missing + ": No such file or directory"},
      {"a file as a folder", not_zip + "/x.pt",
       "cannot open " + not_zip + "/x.pt: Not a directory"},
      {"a directory", dir.file(""), "cannot read " + dir.file("") + ": Is a directory"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_manifest(c.path.c_str(), &error), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;

    // Without an error string the same reason is logged.
    OpenResult result = open_with_log(c.path);
    EXPECT_EQ(result.manifest, nullptr);
    EXPECT_EQ(result.log, "[manifest] Failed: " + error + "\n");
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
    std::string command =
        std::string("/usr/bin/python3 -c \"import sys, torch; sys.path.insert(0, '") +
        VCLONE_SOURCE_DIR +
        "/tools'); import vclone_archive as va; "
        "va.write_archive('" +
        path +
        "', {'t%d' % i: torch.full((i % 3 + 1, 2), float(i)) "
        "for i in range(3000)}, shared_record=" +
        layout + ")\"";
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
