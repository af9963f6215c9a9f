// `vclone serve`: the options of the subcommand and the server's main loop.
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <string>
#include <vector>

struct ServeOptions {
  std::string model_path;
  std::string vocab_path;
  std::string voices_dir = "voices";
  std::string host = "127.0.0.1";
  int port = 8080;  // 0 picks a free port and prints it
  std::string precision = "f32";
  int threads = 0;
  std::string api_key_file;
  std::string lexicon_path;               // pronunciations loaded into the model; none by default
  bool allow_no_key = false;              // listen beyond loopback without a key
  std::vector<std::string> cors_origins;  // pages that may call the API
  int max_queue = 8;                      // requests waiting behind the ones being synthesised
  int parallel = 0;  // syntheses at once, sharing each decode step; 0: the model's default
  size_t max_body_bytes = 1 << 18;      // a JSON request body
  size_t max_upload_bytes = 50u << 20;  // a reference recording
  size_t max_text_chars = 4096;         // "input", in Unicode code points
  std::string default_voice;    // answers the API's built-in voice names; empty: they are 404
  size_t voice_cache = 32;      // voices kept loaded
  int max_connections = 128;    // open connections served; past them only probes are answered
  double header_timeout = 10;   // seconds for a request's line and headers
  double request_timeout = 60;  // seconds for a whole request, body included
  double write_timeout = 15;    // seconds for one write; a slower reader is dropped
};

// Declares the subcommand's options on `serve` (made by the caller with
// app.add_subcommand("serve", ...)).
void add_serve_options(CLI::App &serve, ServeOptions &options);

// Loads the model and serves until SIGTERM or SIGINT. Returns the exit code.
int run_serve(const ServeOptions &options);
