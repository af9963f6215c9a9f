#include "engine/initial_values.h"

#include <ATen/core/dispatch/Dispatcher.h>
#include <ATen/core/stack.h>
#include <torch/library.h>

// DeferredInit is libtorch's dispatch key for deferred module initialisation,
// served by no kernel of libtorch itself: with it switched on for a thread,
// the initialisers below run these kernels, and every other operator falls
// through to its usual one.
namespace {

// An in-place initialiser returns its first argument; the rest are dropped.
void leave_unwritten(const c10::OperatorHandle &op, torch::jit::Stack *stack) {
  const size_t arguments = op.schema().arguments().size();
  torch::jit::drop(*stack, arguments - 1);
}

}  // namespace

TORCH_LIBRARY_IMPL(_, DeferredInit, m) { m.fallback(torch::CppFunction::makeFallthrough()); }

TORCH_LIBRARY_IMPL(aten, DeferredInit, m) {
  for (const char *name : {"uniform_", "normal_", "fill_.Scalar", "zero_"})
    m.impl(name, torch::CppFunction::makeFromBoxedFunction<&leave_unwritten>());
}

SkipInitialValues::SkipInitialValues() : include_(c10::DispatchKey::DeferredInit) {}
