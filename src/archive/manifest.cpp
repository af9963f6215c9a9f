#include "archive/manifest.h"

#include "util/exception_text.h"
#include "vclone.h"
#include "util/log.h"

#include <caffe2/serialize/inline_container.h>
#include <torch/types.h>

#include <cctype>
#include <cstdio>
#include <limits>

using caffe2::serialize::PyTorchStreamReader;

TensorManifest::TensorManifest() = default;
TensorManifest::~TensorManifest() = default;

namespace {

std::string quoted(const char *key) { return std::string("\"") + key + "\""; }

std::string read_string_field(const std::string &entry, const char *key) {
  size_t k = entry.find(quoted(key));
  if (k == std::string::npos) return "";
  size_t colon = entry.find(':', k);
  if (colon == std::string::npos) return "";
  size_t open = entry.find('"', colon + 1);
  if (open == std::string::npos) return "";
  size_t close = entry.find('"', open + 1);
  if (close == std::string::npos) return entry.substr(open + 1);
  return entry.substr(open + 1, close - open - 1);
}

int64_t read_integer_field(const std::string &entry, const char *key) {
  size_t k = entry.find(quoted(key));
  if (k == std::string::npos) return 0;
  size_t colon = entry.find(':', k);
  if (colon == std::string::npos) return 0;
  size_t i = colon + 1;
  while (i < entry.size() && (entry[i] == ' ' || entry[i] == '\t')) i++;
  return std::stoll(entry.substr(i));
}

std::vector<int64_t> read_array_field(const std::string &entry, const char *key) {
  std::vector<int64_t> values;
  size_t k = entry.find(quoted(key));
  if (k == std::string::npos) return values;
  size_t open = entry.find('[', k);
  if (open == std::string::npos) return values;
  size_t close = entry.find(']', open);
  if (close == std::string::npos) return values;
  std::string body = entry.substr(open + 1, close - open - 1);
  size_t start = 0;
  while (start <= body.size()) {
    size_t comma = body.find(',', start);
    if (comma == std::string::npos) comma = body.size();
    std::string piece = body.substr(start, comma - start);
    size_t digit = piece.find_first_of("0123456789-");
    if (digit != std::string::npos) values.push_back(std::stoll(piece.substr(digit)));
    start = comma + 1;
  }
  return values;
}

bool only_space_between(const std::string &text, size_t from, size_t to) {
  for (size_t i = from + 1; i < to; i++)
    if (!std::isspace(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

// The first position of one character at or after a search start. Starts
// never decrease during a scan, so a found position is reused until a start
// passes it: a text of many "name": value pairs before one late brace would
// otherwise be searched to that brace once per pair.
class NextChar {
 public:
  explicit NextChar(char c) : c_(c) {}
  size_t find(const std::string &text, size_t from) {
    if (!searched_ || (at_ != std::string::npos && at_ < from)) {
      at_ = text.find(c_, from);
      searched_ = true;
    }
    return at_;
  }

 private:
  char c_;
  bool searched_ = false;
  size_t at_ = std::string::npos;
};

bool names_a_field(const std::string &name) {
  return name.find("storage_key") != std::string::npos ||
         name.find("offset") != std::string::npos ||
         name.find("shape") != std::string::npos;
}

// Element count of a shape, or -1 when a size is negative or the sizes
// overflow 64 bits. Zero sizes are left out of the overflow test: libtorch
// derives strides from the other sizes even when the tensor is empty, and a
// stride that wraps around crashes it.
int64_t shape_product(const std::vector<int64_t> &shape) {
  int64_t nonzero_product = 1;
  bool empty = false;
  for (int64_t size : shape) {
    if (size < 0) return -1;
    if (size == 0) {
      empty = true;
      continue;
    }
    if (nonzero_product > std::numeric_limits<int64_t>::max() / size) return -1;
    nonzero_product *= size;
  }
  return empty ? 0 : nonzero_product;
}

// The bytes of one data record; the last one read is kept on the handle.
const CachedRecord &read_record(TensorManifest *manifest, const std::string &name) {
  if (manifest->last_record.data && manifest->last_record.name == name)
    return manifest->last_record;
  release_cached_record(manifest);
  if (!manifest->reader)
    manifest->reader = std::make_unique<PyTorchStreamReader>(manifest->archive_path);
  auto [data, size] = manifest->reader->getRecord(name);
  void *raw = data.get();
  auto owner = std::make_shared<c10::DataPtr>(std::move(data));
  manifest->last_record.name = name;
  manifest->last_record.data = std::shared_ptr<void>(owner, raw);
  manifest->last_record.size = size;
  return manifest->last_record;
}

}  // namespace

void scan_manifest(const std::string &text,
                   std::unordered_map<std::string, ManifestEntry> &entries) {
  NextChar next_colon(':'), next_brace('{');
  // Names between one colon and its brace share the gap test's answer.
  size_t tested_colon = std::string::npos;
  bool gap_is_space = false;
  size_t p = 0;
  for (;;) {
    size_t q1 = text.find('"', p);
    if (q1 == std::string::npos) break;
    size_t q2 = text.find('"', q1 + 1);
    if (q2 == std::string::npos) break;
    std::string name = text.substr(q1 + 1, q2 - q1 - 1);
    size_t colon = next_colon.find(text, q2);
    if (colon == std::string::npos) break;
    size_t brace = next_brace.find(text, colon);
    if (brace == std::string::npos) break;
    if (colon != tested_colon) {
      gap_is_space = only_space_between(text, colon, brace);
      tested_colon = colon;
    }
    if (!gap_is_space || names_a_field(name)) {
      p = q2 + 1;
      continue;
    }
    size_t end = text.find('}', brace);
    if (end == std::string::npos) break;
    std::string body = text.substr(brace, end - brace + 1);
    ManifestEntry entry;
    entry.storage_key = read_string_field(body, "storage_key");
    entry.offset = read_integer_field(body, "offset");
    entry.shape = read_array_field(body, "shape");
    entry.stride = read_array_field(body, "stride");
    entry.numel = read_integer_field(body, "numel");
    entries[name] = std::move(entry);
    p = end + 1;
  }
}

TensorManifest *open_manifest(const char *path) {
  if (!path) {
    log_line(kLogWarn, "[manifest] Failed: no archive path given\n");
    return nullptr;
  }
  try {
    auto manifest = std::make_unique<TensorManifest>();
    manifest->archive_path = path;
    manifest->reader = std::make_unique<PyTorchStreamReader>(manifest->archive_path);
    std::string record_name;
    for (const std::string &name : manifest->reader->getAllRecords()) {
      if (name.find("manifest.json") != std::string::npos) {
        record_name = name;
        break;
      }
    }
    if (record_name.empty()) {
      log_line(kLogWarn, "[manifest] No manifest.json in %s\n", path);
      return nullptr;
    }
    auto [data, size] = manifest->reader->getRecord(record_name);
    std::string text(static_cast<const char *>(data.get()), size);
    scan_manifest(text, manifest->entries);
    log_line(kLogInfo, "[manifest] Loaded %zu tensor entries from %s\n",
            manifest->entries.size(), path);
    return manifest.release();
  } catch (const std::exception &e) {
    log_line(kLogWarn, "[manifest] Failed: %s\n", exception_text(e));
    return nullptr;
  }
}

void release_cached_record(TensorManifest *manifest) {
  manifest->last_record = CachedRecord{};
}

namespace {

// The entry's values inside its record, or an undefined tensor (with a line)
// when the entry is absent, malformed or larger than the record.
at::Tensor tensor_in_record(TensorManifest *manifest, const std::string &name) {
  if (!manifest) return {};
  auto found = manifest->entries.find(name);
  if (found == manifest->entries.end()) return {};
  const ManifestEntry &entry = found->second;
  try {
    const int64_t product = shape_product(entry.shape);
    if (product < 0 || product != entry.numel) {
      log_line(kLogWarn, "[manifest] Shape does not match numel %lld for %s\n",
              static_cast<long long>(entry.numel), name.c_str());
      return {};
    }
    if (entry.offset < 0) {
      log_line(kLogWarn, "[manifest] Negative offset %lld for %s\n",
              static_cast<long long>(entry.offset), name.c_str());
      return {};
    }
    const CachedRecord &record = read_record(manifest, "data/" + entry.storage_key);
    const int64_t floats = static_cast<int64_t>(record.size / 4);
    if (entry.numel > floats || entry.offset > floats - entry.numel) {
      log_line(kLogWarn, "[manifest] Data too small for %s\n", name.c_str());
      return {};
    }
    std::shared_ptr<void> owner = record.data;
    float *values = static_cast<float *>(owner.get()) + entry.offset;
    return torch::from_blob(
        values, entry.shape, [owner](void *) mutable { owner.reset(); }, torch::kFloat32);
  } catch (const std::exception &e) {
    log_line(kLogWarn, "[manifest] Failed to load tensor %s: %s\n", name.c_str(),
            exception_text(e));
    return {};
  }
}

}  // namespace

at::Tensor load_tensor(TensorManifest *manifest, const std::string &name) {
  at::Tensor view = tensor_in_record(manifest, name);
  return view.defined() ? view.clone() : view;
}

at::Tensor load_tensor_view(TensorManifest *manifest, const std::string &name) {
  return tensor_in_record(manifest, name);
}

extern "C" {

VCLONE_API void *manifest_open(const char *path) { return open_manifest(path); }

VCLONE_API int manifest_count(void *handle) {
  if (!handle) return -1;
  return static_cast<int>(static_cast<TensorManifest *>(handle)->entries.size());
}

VCLONE_API void manifest_close(void *handle) { delete static_cast<TensorManifest *>(handle); }

}  // extern "C"
