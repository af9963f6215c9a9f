// `vclone wyoming`: a Wyoming protocol text-to-speech server, the way Home
// Assistant's voice pipelines reach local speech engines.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

struct WyomingOptions {
  std::string model_path;
  std::string vocab_path;
  std::string voices_dir;
  std::string host = "127.0.0.1";
  int port = 10200;  // 0 picks a free port and prints it
  bool allow_remote = false;
  std::string default_voice;  // empty: the first voice of the folder
  std::string precision = "f32";
  int threads = 0;
  int max_connections = 8;
  double idle_timeout = 60;  // seconds for each event to arrive whole
  size_t max_text_chars = 4096;
  int max_codes = 0;  // 0: the library's default
  std::string seed;   // empty: unseeded
};

// Declares the subcommand's options on `wyoming` (made by the caller with
// app.add_subcommand("wyoming", ...)).
void add_wyoming_options(CLI::App &wyoming, WyomingOptions &options);

// Loads the model and serves until SIGTERM or SIGINT. Returns the exit code:
// 0 after a stop signal, 2 for options refused before the load, 1 otherwise.
int run_wyoming(const WyomingOptions &options);
