// vclone: command-line front end of the library.
#include "archive/manifest.h"
#include "vclone.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *kUsage =
    "usage:\n"
    "  vclone inspect ARCHIVE [--list]   tensor count; --list adds names and shapes\n";

int inspect(int argc, char **argv) {
  if (argc < 1 || argc > 2 || (argc == 2 && std::strcmp(argv[1], "--list") != 0)) {
    fputs(kUsage, stderr);
    return 2;
  }
  TensorManifest *manifest = open_manifest(argv[0]);
  if (!manifest) {
    fprintf(stderr, "vclone: cannot read the manifest of %s\n", argv[0]);
    return 1;
  }
  printf("%s: %d tensors\n", argv[0], manifest_count(manifest));
  if (argc == 2) {
    std::vector<std::string> names;
    for (const auto &entry : manifest->entries) names.push_back(entry.first);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
      std::string shape;
      for (int64_t size : manifest->entries[name].shape)
        shape += (shape.empty() ? "" : ", ") + std::to_string(size);
      printf("%s [%s]\n", name.c_str(), shape.c_str());
    }
  }
  manifest_close(manifest);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && std::strcmp(argv[1], "inspect") == 0) return inspect(argc - 2, argv + 2);
  fputs(kUsage, stderr);
  return 2;
}
