/* A host that uses the library the way a long-running program would: load,
 * speak, fail in every way a host can make a call fail, unload, load again,
 * speak, unload; then the same with a model handle and voices, four threads
 * speaking on one model at once. It uses only the public header. The sanitizer build runs it
 * under LeakSanitizer, which fails the process if anything the library
 * allocated is left unreachable.
 *
 * usage: leak_host [WORK_DIR]   (default: a fresh directory under /tmp) */
#include "vclone.h"

#include <math.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition, what)                                                                   \
  do {                                                                                           \
    if (!(condition)) {                                                                          \
      const char *error = vclone_get_last_error();                                               \
      fprintf(stderr, "leak_host: FAILED: %s (last error: %s)\n", what, error ? error : "none"); \
      failures++;                                                                                \
    }                                                                                            \
  } while (0)

static void put_u16(unsigned char *p, unsigned v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
}

static void put_u32(unsigned char *p, uint32_t v) {
  put_u16(p, v & 0xffff);
  put_u16(p + 2, v >> 16);
}

/* One second of a 150 Hz tone with two overtones, mono 16-bit at 22050 Hz. */
static int write_reference(const char *path) {
  enum { kRate = 22050, kFrames = 22050 };
  unsigned char header[44];
  FILE *f = fopen(path, "wb");
  if (!f) return -1;
  memcpy(header, "RIFF", 4);
  put_u32(header + 4, 36 + 2 * kFrames);
  memcpy(header + 8, "WAVEfmt ", 8);
  put_u32(header + 16, 16);
  put_u16(header + 20, 1);
  put_u16(header + 22, 1);
  put_u32(header + 24, kRate);
  put_u32(header + 28, 2 * kRate);
  put_u16(header + 32, 2);
  put_u16(header + 34, 16);
  memcpy(header + 36, "data", 4);
  put_u32(header + 40, 2 * kFrames);
  fwrite(header, 1, sizeof header, f);
  for (int i = 0; i < kFrames; i++) {
    double t = (double)i / kRate, value = 0;
    for (int h = 1; h <= 3; h++) value += sin(2 * M_PI * 150.0 * h * t) / (3.0 * h);
    unsigned char sample[2];
    put_u16(sample, (unsigned)(uint16_t)(int16_t)(value * 32767));
    fwrite(sample, 1, 2, f);
  }
  return fclose(f) == 0 ? 0 : -1;
}

static void speak(const char *reference, const char *what) {
  int n = 0;
  float *samples = vclone_tts("A short test sentence.", reference, "en", &n, 60.0f);
  CHECK(samples != NULL && n > 0, what);
  free(samples);
}

/* Calls that fail while a model is loaded. Each must leave nothing behind. */
static void failing_calls(const char *dir, const char *model, const char *vocab,
                          const char *reference) {
  char missing[4200], bad_out[4200];
  snprintf(missing, sizeof missing, "%s/missing.wav", dir);
  snprintf(bad_out, sizeof bad_out, "%s/no/such/dir/out.wav", dir);
  int n = 0;

  CHECK(vclone_tts("Hi.", missing, "en", &n, 60.0f) == NULL, "missing reference fails");
  CHECK(vclone_tts("Hi.", dir, "en", &n, 60.0f) == NULL, "directory as reference fails");
  CHECK(vclone_tts("Hi.", model, "en", &n, 60.0f) == NULL, "archive as reference fails");
  CHECK(vclone_tts("Hi.", reference, "en", &n, 0.0f) == NULL, "zero speed fails");
  CHECK(vclone_tts("Hi.", reference, "en", &n, -1.0f) == NULL, "negative speed fails");
  CHECK(vclone_tts("Hi.", reference, "en", &n, NAN) == NULL, "NaN speed fails");
  CHECK(vclone_tts("Hi.", reference, "en", &n, 1000.0f) == NULL, "a one-code budget fails");
  CHECK(vclone_tts(NULL, reference, "en", &n, 60.0f) == NULL, "null text fails");
  CHECK(vclone_tts("Hi.", NULL, "en", &n, 60.0f) == NULL, "null reference fails");
  CHECK(vclone_tts("Hi.", reference, NULL, &n, 60.0f) == NULL, "null language fails");
  CHECK(vclone_tts("Hi.", reference, "en", NULL, 60.0f) == NULL, "null count fails");
  CHECK(vclone_tts_to_file("Hi.", reference, "en", bad_out, 60.0f) == -1,
        "unwritable output fails");
  CHECK(vclone_tts_to_file("Hi.", reference, "en", NULL, 60.0f) == -1, "null output fails");
  CHECK(vclone_load(model, vocab) == -1, "second load fails");
  CHECK(vclone_load(reference, vocab) == -1, "bad archive while loaded fails");

  void *manifest = manifest_open(model);
  CHECK(manifest != NULL && manifest_count(manifest) > 0, "manifest opens beside the model");
  manifest_close(manifest);
  CHECK(manifest_open(reference) == NULL, "a WAV file is no archive");
  CHECK(manifest_open(missing) == NULL, "a missing archive does not open");
  CHECK(manifest_open(NULL) == NULL, "a null archive path does not open");
}

/* Loads that fail with nothing loaded: each builds part of a record first. */
static void failing_loads(const char *dir, const char *model, const char *vocab,
                          const char *reference) {
  char missing[4200];
  snprintf(missing, sizeof missing, "%s/missing", dir);
  CHECK(vclone_load(model, missing) == -1, "missing vocabulary fails");
  CHECK(vclone_load(missing, vocab) == -1, "missing archive fails");
  CHECK(vclone_load(reference, vocab) == -1, "a WAV file as archive fails");
  CHECK(vclone_load(model, reference) == -1, "a WAV file as vocabulary fails");
  CHECK(vclone_load(NULL, vocab) == -1, "null archive path fails");
}

struct SpeakJob {
  vclone_model *model;
  const vclone_voice *voice;
  int32_t samples;
};

static void *speak_on_handle(void *argument) {
  struct SpeakJob *job = argument;
  vclone_options options = vclone_default_options();
  options.max_codes = 8;
  options.seed = 3;
  float *audio =
      vclone_speak(job->model, "Four at once.", "en", job->voice, &options, &job->samples);
  vclone_free(audio);
  return NULL;
}

static int stop_at_once(const float *samples, int n, void *user_data) {
  (void)samples;
  (void)n;
  ++*(int *)user_data;
  return 1;
}

/* The handle interface: voices made, saved, loaded and refused; four threads
 * speaking on one model at once (the model serialises them); a stream that
 * its callback stops; options out of range. */
static void handle_calls(const char *dir, const char *model_path, const char *vocab,
                         const char *reference) {
  char voice_path[4200], missing[4200];
  snprintf(voice_path, sizeof voice_path, "%s/voice.vcv", dir);
  snprintf(missing, sizeof missing, "%s/missing.vcv", dir);
  vclone_model *model = vclone_model_load(model_path, vocab, NULL);
  CHECK(model != NULL, "handle load");
  if (!model) return;
  vclone_voice *made = vclone_voice_from_wav(model, reference);
  CHECK(made != NULL, "voice from a reference");
  CHECK(vclone_voice_save(made, voice_path) == 0, "voice saved");
  vclone_voice *voice = vclone_voice_load(voice_path);
  CHECK(voice != NULL, "voice loaded");
  vclone_voice_free(made);
  CHECK(vclone_voice_load(missing) == NULL, "missing voice file refused");
  CHECK(vclone_voice_load(model_path) == NULL, "weight archive refused as a voice");
  CHECK(vclone_voice_from_wav(model, missing) == NULL, "missing reference refused");

  pthread_t threads[4];
  struct SpeakJob jobs[4];
  for (int i = 0; i < 4; i++) {
    jobs[i] = (struct SpeakJob){model, voice, 0};
    pthread_create(&threads[i], NULL, speak_on_handle, &jobs[i]);
  }
  for (int i = 0; i < 4; i++) pthread_join(threads[i], NULL);
  for (int i = 0; i < 4; i++)
    CHECK(jobs[i].samples > 0 && jobs[i].samples == jobs[0].samples,
          "four threads speak the same seeded result");

  vclone_options options = vclone_default_options();
  options.max_codes = 30;
  int calls = 0;
  CHECK(vclone_speak_stream(model, "Stop me.", "en", voice, &options, stop_at_once, &calls) == 1 &&
            calls == 1,
        "a stream stopped by its callback");
  options.top_p = 2.0f;
  int32_t n = 0;
  CHECK(vclone_speak(model, "Hi.", "en", voice, &options, &n) == NULL, "out-of-range option");
  CHECK(vclone_speak(model, "Hi.", "xx", voice, NULL, &n) == NULL, "unknown language");
  char *languages = vclone_vocab_languages(vocab);
  CHECK(languages != NULL && strncmp(languages, "en", 2) == 0, "vocabulary languages");
  vclone_free(languages);
  vclone_voice_free(voice);
  vclone_model_free(model);
}

int main(int argc, char **argv) {
  char dir[4096];
  int made_dir = argc < 2;
  if (argc >= 2) {
    snprintf(dir, sizeof dir, "%s", argv[1]);
  } else {
    char pattern[] = "/tmp/vclone-leak-XXXXXX";
    if (!mkdtemp(pattern)) {
      perror("leak_host: mkdtemp");
      return 1;
    }
    snprintf(dir, sizeof dir, "%s", pattern);
  }
  char command[8192], model[4200], vocab[4200], reference[4200];
  snprintf(model, sizeof model, "%s/model.pt", dir);
  snprintf(vocab, sizeof vocab, "%s/vocab.json", dir);
  snprintf(reference, sizeof reference, "%s/voice.wav", dir);
  snprintf(command, sizeof command,
           "/usr/bin/python3 '%s/tools/make_random_model.py' '%s' > /dev/null", VCLONE_SOURCE_DIR,
           dir);
  if (system(command) != 0 || write_reference(reference) != 0) {
    fprintf(stderr, "leak_host: could not make the model or the reference in %s\n", dir);
    return 1;
  }

  CHECK(vclone_load(model, vocab) == 0, "first load");
  speak(reference, "first synthesis");
  failing_calls(dir, model, vocab, reference);
  speak(reference, "synthesis after the failures");
  vclone_unload();
  vclone_unload();

  int n = 0;
  CHECK(vclone_tts("Hi.", reference, "en", &n, 60.0f) == NULL, "synthesis after unload fails");
  failing_loads(dir, model, vocab, reference);

  CHECK(vclone_load(model, vocab) == 0, "second load");
  speak(reference, "synthesis after reloading");
  vclone_unload();

  handle_calls(dir, model, vocab, reference);

  if (made_dir) {
    snprintf(command, sizeof command, "rm -rf '%s'", dir);
    if (system(command) != 0) fprintf(stderr, "leak_host: could not remove %s\n", dir);
  }
  printf("leak_host: %s\n", failures ? "FAILED" : "ok");
  return failures ? 1 : 0;
}
