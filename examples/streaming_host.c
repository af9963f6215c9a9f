/* Streaming: raw 16-bit samples reach standard output while the model makes
 * them, so a player starts at once:
 *     streaming_host ARCHIVE VOCAB VOICE.vcv "text" | aplay -f S16_LE -r 24000 -c 1
 * VOICE.vcv comes from `vclone voice`; a saved voice skips the reference work,
 * which keeps the first audio early. */
#define _POSIX_C_SOURCE 199309L /* clock_gettime */
#include "vclone.h"

#include <stdio.h>
#include <time.h>

struct progress {
  struct timespec start;
  int chunks;
};

static double seconds_since(const struct timespec *start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)(now.tv_sec - start->tv_sec) + (now.tv_nsec - start->tv_nsec) / 1e9;
}

/* Returning non-zero stops the synthesis: here, when standard output fails. */
static int play(const float *samples, int n, void *user_data) {
  struct progress *progress = user_data;
  if (progress->chunks++ == 0)
    fprintf(stderr, "first audio after %.2f s\n", seconds_since(&progress->start));
  for (int i = 0; i < n; i++) {
    float x = samples[i] > 1.0f ? 1.0f : samples[i] < -1.0f ? -1.0f : samples[i];
    const short value = (short)(x * 32767.0f);
    if (fwrite(&value, sizeof value, 1, stdout) != 1) return 1;
  }
  return fflush(stdout) == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s ARCHIVE VOCAB VOICE.vcv TEXT\n", argv[0]);
    return 2;
  }
  vclone_voice *voice = vclone_voice_load(argv[3]);
  vclone_model *model = voice ? vclone_model_load(argv[1], argv[2], NULL) : NULL;
  int status = -1;
  if (model) {
    struct progress progress = {.chunks = 0};
    clock_gettime(CLOCK_MONOTONIC, &progress.start);
    status = vclone_speak_stream(model, argv[4], "en", voice, NULL, play, &progress);
    fprintf(stderr, "%d chunks in %.2f s\n", progress.chunks, seconds_since(&progress.start));
  }
  if (status < 0) fprintf(stderr, "failed: %s\n", vclone_get_last_error());
  vclone_model_free(model);
  vclone_voice_free(voice);
  return status < 0 ? 1 : 0;
}
