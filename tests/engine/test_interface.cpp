#include "engine/engine.h"
#include "engine/vclone_model.h"
#include "vclone.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

std::string last_error() {
  const char *message = vclone_get_last_error();
  return message ? message : "";
}

// Puts a bare record in place, as if a load were running or had finished.
void install_model(bool loaded) {
  current_model = new vclone_model();
  current_model->loaded = loaded;
}

}  // namespace

TEST(Interface, EntryChecksWithoutModel) {
  vclone_unload();
  int n = 42;
  EXPECT_EQ(vclone_tts("hi", "ref.wav", "en", &n, 1.0f), nullptr);
  EXPECT_EQ(last_error(), "Not loaded");
  EXPECT_EQ(n, 42);
  EXPECT_EQ(vclone_tts_to_file("hi", "ref.wav", "en", "out.wav", 1.0f), -1);
  EXPECT_EQ(last_error(), "Not loaded");

  struct Case {
    const char *model;
    const char *vocab;
  } null_paths[] = {{nullptr, "v.json"}, {"m.pt", nullptr}, {nullptr, nullptr}};
  for (const Case &c : null_paths) {
    EXPECT_EQ(vclone_load(c.model, c.vocab), -1);
    EXPECT_EQ(last_error(), "model_path and vocab_path required");
    EXPECT_EQ(current_model, nullptr);
  }
}

TEST(Interface, EntryChecksWithModel) {
  install_model(true);
  EXPECT_EQ(vclone_load(nullptr, "v.json"), -1);
  EXPECT_EQ(last_error(), "Model already loaded");
  EXPECT_EQ(vclone_load("m.pt", "v.json"), -1);
  EXPECT_EQ(last_error(), "Model already loaded");
  EXPECT_NE(current_model, nullptr);

  int n = 42;
  struct Case {
    const char *name;
    const char *text;
    const char *ref;
    const char *language;
    int *n_samples;
  } bad_args[] = {
      {"null text", nullptr, "r.wav", "en", &n},
      {"null reference", "hi", nullptr, "en", &n},
      {"null language", "hi", "r.wav", nullptr, &n},
      {"null count", "hi", "r.wav", "en", nullptr},
  };
  for (const Case &c : bad_args) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(vclone_tts(c.text, c.ref, c.language, c.n_samples, 1.0f), nullptr);
    EXPECT_EQ(last_error(), "Bad args");
    EXPECT_EQ(n, 42);
  }
  vclone_unload();
  EXPECT_EQ(current_model, nullptr);
  vclone_unload();
  EXPECT_EQ(current_model, nullptr);
}

TEST(Interface, LoadingStateIsNotLoaded) {
  install_model(false);
  int n = 42;
  EXPECT_EQ(vclone_tts("hi", "r.wav", "en", &n, 1.0f), nullptr);
  EXPECT_EQ(last_error(), "Not loaded");
  EXPECT_EQ(n, 42);
  EXPECT_EQ(vclone_load("m.pt", "v.json"), -1);
  EXPECT_EQ(last_error(), "Model already loaded");
  vclone_unload();
}

TEST(Interface, ErrorMessageIsCutAt2047Characters) {
  std::string long_text(3000, 'x');
  testing::internal::CaptureStderr();
  set_last_error("%s", long_text.c_str());
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::strlen(vclone_get_last_error()), 2047u);
  EXPECT_EQ(log, "[vclone] ERROR: " + long_text.substr(0, 2047) + "\n");
}

TEST(Interface, ErrorsStayOnTheirThread) {
  set_last_error("main thread failure");
  const char *seen_by_other = "unset";
  std::thread([&] { seen_by_other = vclone_get_last_error(); }).join();
  EXPECT_EQ(seen_by_other, nullptr);

  std::string other_message;
  std::thread([&] {
    set_last_error("worker failure %d", 7);
    other_message = vclone_get_last_error();
  }).join();
  EXPECT_EQ(other_message, "worker failure 7");
  EXPECT_EQ(last_error(), "main thread failure");
}

TEST(Interface, ClockIsMonotonic) {
  int64_t a = now_ns();
  int64_t b = now_ns();
  EXPECT_GT(a, 0);
  EXPECT_GE(b, a);
}
