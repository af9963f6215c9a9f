#include "fuzz/fuzz_wyoming.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::wyoming_event(data, size);
  return 0;
}
