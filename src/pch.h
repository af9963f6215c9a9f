// Precompiled for every subsystem: libtorch's tensor and module headers are
// by far the slowest part of compiling this project.
#pragma once
#include <torch/nn.h>
