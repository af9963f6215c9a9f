// A short voice and a short synthesis run before a server says it is ready.
#pragma once

#include "vclone.h"

// The first voice and the first synthesis of a fresh process pay libtorch's
// one-time set-up (kernel selection, the allocator's first growth): about a
// second more and tens of MB more at its peak than any later request. A
// server pays them here, at its start, instead of its first client. Failures
// are left to the real requests to report.
void warm_up(vclone_model *model);
