#include "serve/serve.h"

#include <cstdio>

void add_serve_options(CLI::App &serve, ServeOptions &options) {
  serve.add_option("--model", options.model_path, "weight archive")->required();
  serve.add_option("--vocab", options.vocab_path, "vocabulary JSON")->required();
}

int run_serve(const ServeOptions &) {
  fprintf(stderr, "vclone serve: not built yet\n");
  return 1;
}
