// Engine state shared by the exported functions: the one process-wide model
// of the original interface, the per-thread error message and the clock.
#pragma once

#include "util/errors.h"

#include <cstdint>

struct vclone_model;

// The process-wide model of vclone_load; null while nothing is loaded.
extern vclone_model *current_model;
