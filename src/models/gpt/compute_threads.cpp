#include "models/gpt/compute_threads.h"

#include <ATen/Parallel.h>
#include <omp.h>

ComputeThreads::ComputeThreads(int threads) {
  // The first parallel call on a thread sets its count from the process's;
  // doing that now keeps it from undoing ours later.
  at::get_num_threads();
  saved_ = omp_get_max_threads();
  if (threads > 0 && threads != saved_) omp_set_num_threads(threads);
}

ComputeThreads::~ComputeThreads() {
  if (omp_get_max_threads() != saved_) omp_set_num_threads(saved_);
}
