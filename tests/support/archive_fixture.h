// Test fixtures: archives written record by record, and scratch files.
#pragma once

#include <caffe2/serialize/inline_container.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fixture {

using Records = std::vector<std::pair<std::string, std::string>>;

// A scratch directory removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/vclone-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string float_bytes(const std::vector<float> &values) {
  return std::string(reinterpret_cast<const char *>(values.data()), values.size() * sizeof(float));
}

inline std::vector<float> counting_floats(int n) {
  std::vector<float> values(n);
  for (int i = 0; i < n; i++) values[i] = static_cast<float>(i);
  return values;
}

// A zip archive holding the given records, as libtorch writes them.
inline void write_archive(const std::string &path, const Records &records) {
  caffe2::serialize::PyTorchStreamWriter writer(path);
  for (const auto &[name, bytes] : records) writer.writeRecord(name, bytes.data(), bytes.size());
  writer.writeEndOfFile();
}

inline void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// One manifest member: "name": {storage_key, offset, shape, stride, numel}.
inline std::string manifest_entry(const std::string &name, const std::string &key,
                                  const std::string &offset, const std::string &shape, long numel) {
  return "\"" + name + "\": {\"storage_key\": \"" + key + "\", \"offset\": " + offset +
         ", \"shape\": [" + shape + "], \"stride\": [], \"numel\": " + std::to_string(numel) + "}";
}

}  // namespace fixture
