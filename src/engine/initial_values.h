// Constructing the networks draws initial values for every parameter:
// random ones for convolutions, linear layers and embeddings (about 90 M of
// them besides the decoder's layers), ones and zeros for norms. A prepared
// model replaces every parameter with its mapped values straight after, so
// those draws are pure cost: a quarter of a second, and pages of memory
// written only to be freed.
#pragma once

#include <c10/core/impl/LocalDispatchKeySet.h>

// While one lives, on this thread, libtorch's in-place initialisers
// (uniform_, normal_, fill_, zero_) leave their tensor as it is: freshly
// allocated, unwritten memory. Only for building modules whose every
// parameter and buffer is replaced before use.
class SkipInitialValues {
 public:
  SkipInitialValues();

 private:
  c10::impl::IncludeDispatchKeyGuard include_;
};
