// One full-size decoder per test program, plus a way to change a parameter
// for the length of one test.
#pragma once

#include "models/hifigan/hifi_decoder.h"

#include <torch/torch.h>

#include <string>
#include <utility>
#include <vector>

namespace hifi_test {

inline HifiDecoder &shared_decoder() {
  static HifiDecoder decoder = [] {
    torch::manual_seed(20240607);
    HifiDecoder d;
    d->eval();
    return d;
  }();
  return decoder;
}

inline HifiganGenerator &shared_generator() { return shared_decoder()->waveform_decoder; }

// Overwrites parameters and puts the old values back when it goes out of scope.
class ParamOverride {
 public:
  ParamOverride() = default;
  ParamOverride(const ParamOverride &) = delete;
  ParamOverride &operator=(const ParamOverride &) = delete;
  ~ParamOverride() {
    torch::NoGradGuard no_grad;
    for (auto &[param, saved] : saved_) param.copy_(saved);
  }

  void set(torch::Tensor param, const torch::Tensor &value) {
    torch::NoGradGuard no_grad;
    saved_.emplace_back(param, param.detach().clone());
    param.copy_(value);
  }

 private:
  std::vector<std::pair<torch::Tensor, torch::Tensor>> saved_;
};

inline torch::Tensor param(torch::nn::Module &module, const std::string &name) {
  return module.named_parameters()[name];
}

}  // namespace hifi_test
