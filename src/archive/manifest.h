// Weight archive: a PyTorch zip file whose "manifest.json" record names every
// tensor and says where its float32 values lie in the "data/<key>" records.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace caffe2::serialize {
class PyTorchStreamReader;
}

struct ManifestEntry {
  std::string storage_key;
  int64_t offset = 0;  // in elements; held in 64 bits so no offset wraps
  std::vector<int64_t> shape;
  std::vector<int64_t> stride;  // parsed, unused: tensors are built contiguous
  int64_t numel = 0;
};

// One record read from the archive, kept so that tensors sharing a record
// read it only once.
struct CachedRecord {
  std::string name;
  std::shared_ptr<void> data;
  size_t size = 0;
};

struct TensorManifest {
  std::string archive_path;
  std::unordered_map<std::string, ManifestEntry> entries;
  // Opened on first use and kept while the handle lives.
  std::unique_ptr<caffe2::serialize::PyTorchStreamReader> reader;
  CachedRecord last_record;

  TensorManifest();
  ~TensorManifest();
};

// Opens the archive and parses its manifest. Null when the file cannot be
// read, is not a zip archive, has no manifest.json or a malformed one; the
// reason, naming the file, goes to *error, or to the log when error is null.
TensorManifest *open_manifest(const char *path, std::string *error = nullptr);

// Parses manifest text into entries: each member of the top-level object
// that holds a "storage_key" is a tensor, with integer "numel", integer list
// "shape", and optional "offset" (default 0) and "stride". False, with the
// JSON parser's message and position or the entry at fault in *error (when
// not null), on malformed text or a mistyped field.
bool parse_manifest(const std::string &text,
                    std::unordered_map<std::string, ManifestEntry> &entries, std::string *error);

// The named tensor as float32, or an undefined tensor when it is absent or its
// data cannot be read (reported on standard error).
at::Tensor load_tensor(TensorManifest *manifest, const std::string &name);

// As load_tensor, but the result shares memory with the archive record (read
// once and kept while any such tensor lives) instead of owning a copy. For
// values that are copied elsewhere at once, as the weight binding does.
at::Tensor load_tensor_view(TensorManifest *manifest, const std::string &name);

// Drops the cached record; the next lookup reads from the archive again.
void release_cached_record(TensorManifest *manifest);
