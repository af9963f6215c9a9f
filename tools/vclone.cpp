// vclone: command-line front end of the library.
#include "archive/manifest.h"
#include "vclone.h"

#include <ATen/Parallel.h>
#include <torch/utils.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

const char *kUsage =
    "usage:\n"
    "  vclone say --model ARCHIVE --vocab VOCAB.json --ref VOICE.wav --out OUT.wav\n"
    "             [--language en] [--speed 1.0] [--seed N] [--threads N] [TEXT]\n"
    "      Speaks TEXT (or standard input when TEXT is absent or \"-\") in the voice\n"
    "      of VOICE.wav and writes a 24 kHz mono 16-bit WAV. --seed makes the\n"
    "      result repeatable; --threads sets the compute threads (default: all cores).\n"
    "  vclone inspect ARCHIVE [--list]\n"
    "      Prints the archive's tensor count; --list adds every name and shape.\n";

int usage_error(const char *problem) {
  if (problem) fprintf(stderr, "vclone: %s\n", problem);
  fputs(kUsage, stderr);
  return 2;
}

// Splits "--name value" pairs from the positional arguments.
bool parse_options(int argc, char **argv, std::map<std::string, std::string> &options,
                   std::vector<std::string> &positional) {
  for (int i = 0; i < argc; i++) {
    std::string arg = argv[i];
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      if (i + 1 >= argc) return false;
      options[arg.substr(2)] = argv[++i];
    } else {
      positional.push_back(arg);
    }
  }
  return true;
}

bool parse_number(const std::string &text, double &value) {
  char *end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == '\0';
}

int say(int argc, char **argv) {
  std::map<std::string, std::string> options{{"language", "en"}, {"speed", "1.0"}};
  std::vector<std::string> positional;
  if (!parse_options(argc, argv, options, positional)) return usage_error("an option lacks its value");
  for (const char *required : {"model", "vocab", "ref", "out"})
    if (!options.count(required))
      return usage_error((std::string("missing --") + required).c_str());
  for (const auto &option : options)
    if (option.first != "model" && option.first != "vocab" && option.first != "ref" &&
        option.first != "out" && option.first != "language" && option.first != "speed" &&
        option.first != "seed" && option.first != "threads")
      return usage_error(("unknown option --" + option.first).c_str());
  if (positional.size() > 1) return usage_error("give the text as one argument (quote it)");

  double speed = 0, seed = 0, threads = 0;
  if (!parse_number(options["speed"], speed)) return usage_error("--speed takes a number");
  if (options.count("seed") && !parse_number(options["seed"], seed))
    return usage_error("--seed takes a number");
  if (options.count("threads") && (!parse_number(options["threads"], threads) || threads < 1))
    return usage_error("--threads takes a positive number");

  std::string text;
  if (positional.empty() || positional[0] == "-")
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  else
    text = positional[0];

  if (vclone_load(options["model"].c_str(), options["vocab"].c_str()) != 0) {
    fprintf(stderr, "vclone: %s\n", vclone_get_last_error());
    return 1;
  }
  // After loading, which picks all cores by default.
  if (threads >= 1) at::set_num_threads(static_cast<int>(threads));
  if (options.count("seed")) torch::manual_seed(static_cast<uint64_t>(seed));
  int status = vclone_tts_to_file(text.c_str(), options["ref"].c_str(), options["language"].c_str(),
                                  options["out"].c_str(), static_cast<float>(speed));
  if (status != 0) {
    const char *message = vclone_get_last_error();
    fprintf(stderr, "vclone: %s\n", message ? message : "cannot write the output file");
  }
  vclone_unload();
  return status == 0 ? 0 : 1;
}

int inspect(int argc, char **argv) {
  if (argc < 1 || argc > 2 || (argc == 2 && std::strcmp(argv[1], "--list") != 0))
    return usage_error(nullptr);
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
  if (argc >= 2 && std::strcmp(argv[1], "say") == 0) return say(argc - 2, argv + 2);
  if (argc >= 2 && std::strcmp(argv[1], "inspect") == 0) return inspect(argc - 2, argv + 2);
  return usage_error(nullptr);
}
