#include "engine/engine.h"
#include "engine/vclone_model.h"

int load_model(const char *, const char *) {
  set_last_error("vclone_load: not implemented yet");
  return -1;
}

void release_model(VcloneModel *model) { delete model; }
