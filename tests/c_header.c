/* Compiled as C: the public header must not need a C++ compiler. */
#include "vclone.h"

#include <stdio.h>

int main(void) {
  int n = 7;
  if (vclone_tts("hi", "x.wav", "en", &n, 1.0f) != NULL || n != 7) return 1;
  if (vclone_get_last_error() == NULL) return 1;
  if (manifest_count(NULL) != -1) return 1;
  manifest_close(NULL);
  vclone_unload();
  puts("c_header: ok");
  return 0;
}
