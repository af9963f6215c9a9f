#include "fuzz/fuzz_serve.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_serve::upload_form(data, size);
  return 0;
}
