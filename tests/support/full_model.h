// A full-size random model and a voiced reference recording, made once per
// test program in a scratch folder.
#pragma once

#include "audio/wav_io.h"
#include "support/archive_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace fixture {

// Writes DIR/model.pt and DIR/vocab.json with tools/make_random_model.py.
inline void make_random_model(const std::string &out_dir, const char *flags = "") {
  std::string command = std::string("/usr/bin/python3 ") + VCLONE_SOURCE_DIR +
                        "/tools/make_random_model.py " + out_dir + " " + flags + " > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// The folder holding model.pt and vocab.json: the one ctest made for all the
// full-model test programs (VCLONE_TEST_MODEL), or, for a program run on its
// own, a new one made in `scratch`.
inline std::string full_model_dir(const std::string &scratch) {
  const char *shared = std::getenv("VCLONE_TEST_MODEL");
  if (shared && *shared) return shared;
  make_random_model(scratch);
  return scratch;
}

// A voiced-sounding test signal: a few harmonics with a slow vibrato.
inline void write_reference(const std::string &path, int rate, int channels, double seconds) {
  const int frames = static_cast<int>(rate * seconds);
  std::vector<float> samples(static_cast<size_t>(frames) * channels);
  for (int i = 0; i < frames; i++) {
    double t = static_cast<double>(i) / rate;
    double f0 = 140.0 + 10.0 * std::sin(2 * M_PI * 3.0 * t);
    double value = 0;
    for (int h = 1; h <= 5; h++) value += std::sin(2 * M_PI * f0 * h * t) / (h * 3.0);
    for (int c = 0; c < channels; c++) samples[static_cast<size_t>(i) * channels + c] = value;
  }
  WavData wav{samples.data(), frames * channels, rate, channels, frames};
  ASSERT_EQ(write_wav(path.c_str(), &wav), 0);
}

}  // namespace fixture
