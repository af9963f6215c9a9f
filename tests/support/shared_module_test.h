// A test fixture whose module is built once for the whole suite: full-size
// modules take long enough to build that one per test would dominate the run.
// Derived provides `static Module build()`, which seeds and constructs it.
#pragma once

#include <ATen/core/Tensor.h>
#include <c10/core/GradMode.h>
#include <gtest/gtest.h>

#include <string>

template <class Derived, class Module>
class SharedModuleTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = new Module(Derived::build());
    (*module_)->eval();
  }
  static void TearDownTestSuite() {
    delete module_;
    module_ = nullptr;
  }

  static Module &module() { return *module_; }

  // forward(input) without autograd; its log lines go to *log when given.
  static at::Tensor run(const at::Tensor &input, std::string *log = nullptr) {
    c10::NoGradGuard no_grad;
    testing::internal::CaptureStderr();
    at::Tensor out = (*module_)->forward(input);
    std::string text = testing::internal::GetCapturedStderr();
    if (log) *log = text;
    return out;
  }

 private:
  inline static Module *module_ = nullptr;
};
