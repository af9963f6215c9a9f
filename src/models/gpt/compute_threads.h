// The calling thread's libtorch compute threads for a scope.
//
// libtorch runs its parallel operators on OpenMP, which keeps the thread
// count per calling thread; at::set_num_threads would also change the count
// that every thread starts with, for the whole process. A model's calls set
// only their own thread's count, and put it back when they return.
#pragma once

class ComputeThreads {
 public:
  explicit ComputeThreads(int threads);
  ~ComputeThreads();
  ComputeThreads(const ComputeThreads &) = delete;
  ComputeThreads &operator=(const ComputeThreads &) = delete;

 private:
  int saved_;
};
