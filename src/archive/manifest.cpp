#include "archive/manifest.h"

#include "util/errors.h"
#include "util/exception_text.h"
#include "vclone.h"
#include "util/log.h"

#include <caffe2/serialize/inline_container.h>
#include <torch/types.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sys/stat.h>

using caffe2::serialize::PyTorchStreamReader;

TensorManifest::TensorManifest() = default;
TensorManifest::~TensorManifest() = default;

namespace {

using Json = nlohmann::json;

// The value as a 64-bit signed integer; false for anything else (a float, a
// string, an unsigned value beyond int64).
bool as_int64(const Json &value, int64_t *out) {
  if (value.is_number_unsigned()) {
    uint64_t u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    *out = static_cast<int64_t>(u);
    return true;
  }
  if (!value.is_number_integer()) return false;
  *out = value.get<int64_t>();
  return true;
}

bool as_int64_list(const Json &value, std::vector<int64_t> *out) {
  if (!value.is_array()) return false;
  out->clear();
  for (const Json &item : value) {
    int64_t v = 0;
    if (!as_int64(item, &v)) return false;
    out->push_back(v);
  }
  return true;
}

// One tensor entry; false with the reason when a field has the wrong type.
bool read_entry(const Json &object, ManifestEntry *entry, std::string *reason) {
  const Json &key = object.at("storage_key");
  if (!key.is_string()) {
    *reason = "storage_key is not a string";
    return false;
  }
  entry->storage_key = key.get<std::string>();
  struct IntField {
    const char *key;
    int64_t *value;
    bool required;
  } ints[] = {{"offset", &entry->offset, false}, {"numel", &entry->numel, true}};
  for (const IntField &field : ints) {
    auto found = object.find(field.key);
    if (found == object.end() && !field.required) continue;
    if (found == object.end() || !as_int64(*found, field.value)) {
      *reason = std::string(field.key) + " is not a 64-bit integer";
      return false;
    }
  }
  struct ListField {
    const char *key;
    std::vector<int64_t> *value;
    bool required;
  } lists[] = {{"shape", &entry->shape, true}, {"stride", &entry->stride, false}};
  for (const ListField &field : lists) {
    auto found = object.find(field.key);
    if (found == object.end() && !field.required) continue;
    if (found == object.end() || !as_int64_list(*found, field.value)) {
      *reason = std::string(field.key) + " is not a list of 64-bit integers";
      return false;
    }
  }
  return true;
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

bool parse_manifest(const std::string &text,
                    std::unordered_map<std::string, ManifestEntry> &entries, std::string *error) {
  Json root;
  try {
    root = Json::parse(text);
  } catch (const Json::exception &e) {
    if (error) *error = e.what();
    return false;
  }
  if (!root.is_object()) {
    if (error) *error = "the manifest is not a JSON object";
    return false;
  }
  for (const auto &[name, value] : root.items()) {
    // Members that are not tensor entries (a format number, metadata) are
    // not this reader's business.
    if (!value.is_object() || !value.contains("storage_key")) continue;
    ManifestEntry entry;
    std::string reason;
    if (!read_entry(value, &entry, &reason)) {
      if (error) *error = "entry '" + name + "': " + reason;
      return false;
    }
    entries[name] = std::move(entry);
  }
  return true;
}

namespace {

// The reason is kept for a caller that asked for it, else logged.
TensorManifest *fail_open(std::string *error, const std::string &reason) {
  if (error)
    *error = reason;
  else
    log_line(kLogWarn, "[manifest] Failed: %s\n", reason.c_str());
  return nullptr;
}

// A system-level problem with the path, worded by strerror; empty when the
// file can be opened for reading.
std::string unreadable_file(const char *path) {
  FILE *f = fopen(path, "rb");
  if (!f) return std::string("cannot open ") + path + ": " + strerror(errno);
  fclose(f);
  struct stat status;
  if (stat(path, &status) == 0 && S_ISDIR(status.st_mode))
    return std::string("cannot read ") + path + ": " + strerror(EISDIR);
  return "";
}

// The name of the manifest record, or empty.
std::string manifest_record(PyTorchStreamReader &reader) {
  for (const std::string &name : reader.getAllRecords())
    if (name.find("manifest.json") != std::string::npos) return name;
  return "";
}

}  // namespace

TensorManifest *open_manifest(const char *path, std::string *error) {
  if (!path) return fail_open(error, "no archive path given");
  std::string reason = unreadable_file(path);
  if (!reason.empty()) return fail_open(error, reason);
  auto manifest = std::make_unique<TensorManifest>();
  manifest->archive_path = path;
  try {
    manifest->reader = std::make_unique<PyTorchStreamReader>(manifest->archive_path);
  } catch (const std::exception &e) {
    return fail_open(error,
                     std::string(path) + " is not a zip archive (" + exception_text(e) + ")");
  }
  std::string text;
  try {
    std::string record_name = manifest_record(*manifest->reader);
    if (record_name.empty()) return fail_open(error, std::string(path) + " has no manifest.json");
    auto [data, size] = manifest->reader->getRecord(record_name);
    text.assign(static_cast<const char *>(data.get()), size);
  } catch (const std::exception &e) {
    return fail_open(
        error, std::string("cannot read manifest.json in ") + path + ": " + exception_text(e));
  }
  if (!parse_manifest(text, manifest->entries, &reason))
    return fail_open(error, std::string("bad manifest.json in ") + path + ": " + reason);
  log_line(kLogInfo, "[manifest] Loaded %zu tensor entries from %s\n", manifest->entries.size(),
           path);
  return manifest.release();
}

void release_cached_record(TensorManifest *manifest) { manifest->last_record = CachedRecord{}; }

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

VCLONE_API void *manifest_open(const char *path) {
  try {
    std::string error;
    TensorManifest *manifest = open_manifest(path, &error);
    if (!manifest) {
      log_line(kLogWarn, "[manifest] Failed: %s\n", error.c_str());
      set_last_error("Failed to open manifest: %s", error.c_str());
    }
    return manifest;
  } catch (const std::exception &e) {
    set_last_error("Failed to open manifest: %s: %s", path, exception_text(e));
  } catch (...) {
    set_last_error("Failed to open manifest: %s: unknown error", path);
  }
  return nullptr;
}

VCLONE_API int manifest_count(void *handle) {
  if (!handle) return -1;
  return static_cast<int>(static_cast<TensorManifest *>(handle)->entries.size());
}

VCLONE_API void manifest_close(void *handle) { delete static_cast<TensorManifest *>(handle); }

}  // extern "C"
