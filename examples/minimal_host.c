/* A minimal host: load a model, speak one sentence to a WAV file, unload.
 * usage: minimal_host ARCHIVE VOCAB REFERENCE.wav OUT.wav "text" */
#include "vclone.h"

#include <stdio.h>

int main(int argc, char **argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s ARCHIVE VOCAB REFERENCE.wav OUT.wav TEXT\n", argv[0]);
    return 2;
  }
  if (vclone_load(argv[1], argv[2]) != 0) {
    fprintf(stderr, "load failed: %s\n", vclone_get_last_error());
    return 1;
  }
  int status = vclone_tts_to_file(argv[5], argv[3], "en", argv[4], 1.0f);
  if (status != 0) fprintf(stderr, "synthesis failed: %s\n", vclone_get_last_error());
  vclone_unload();
  return status == 0 ? 0 : 1;
}
