// Constructing the networks draws initial values for every parameter:
// random ones for convolutions, linear layers and embeddings (about 90 M of
// them besides the decoder's layers), ones and zeros for norms. Loading
// replaces every parameter and buffer straight after (a prepared model with
// its mapped values, an archive with its own), and refuses a file that lacks
// one, so those draws are pure cost: 0.4 s of a 0.45 s warm load, and pages
// of memory written only to be freed.
#pragma once

#include <c10/core/impl/LocalDispatchKeySet.h>

// While one lives, on this thread, libtorch's in-place initialisers
// (uniform_, normal_, fill_, zero_) leave their tensor as it is: freshly
// allocated, unwritten memory. So do torch::zeros, ones and full, which are
// built on them. Only for building modules whose every parameter and buffer
// is replaced before use.
//
// It works through libtorch's dispatch key for deferred initialisation
// (DeferredInit), which no kernel of libtorch itself serves: a process that
// also loads another library serving that key for the same libtorch would
// refuse the second registration.
class SkipInitialValues {
 public:
  SkipInitialValues();

 private:
  c10::impl::IncludeDispatchKeyGuard include_;
};
