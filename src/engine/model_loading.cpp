#include "archive/manifest.h"
#include "engine/engine.h"
#include "engine/vclone_model.h"
#include "engine/weight_binding.h"
#include "util/exception_text.h"
#include "util/log.h"

#include <ATen/Parallel.h>

#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct ManifestCloser {
  void operator()(TensorManifest *manifest) const { delete manifest; }
};

// libtorch may start with a single compute thread; a host that sets nothing
// (no OMP_NUM_THREADS) gets every core this process may run on.
void use_all_cores() {
  if (std::getenv("OMP_NUM_THREADS")) return;
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  const int cores = CPU_COUNT(&allowed);
  if (cores > at::get_num_threads()) at::set_num_threads(cores);
}

void construct_modules(VcloneModel &model) {
  model.conditioning_encoder = ConditioningEncoder(80, 1024, 16, 6);
  model.conditioning_perceiver = PerceiverResampler(1024, 2, 64, 8, 32, 4);
  // Binding overwrites every decoder weight; zeros cost far less than the
  // random values libtorch would draw for its ~380 M projection weights.
  model.gpt_decoder = GPTDecoder(WeightInit::kZeros);
  model.speaker_encoder = SpeakerEncoder();
  model.hifi_decoder = HifiDecoder();
}

void read_mel_stats(TensorManifest *manifest, VcloneModel &model) {
  try {
    model.mel_stats = load_tensor(manifest, "mel_stats");
    if (model.mel_stats.defined())
      log_line(kLogDebug, "[vclone] mel_stats: [%ld]\n", static_cast<long>(model.mel_stats.size(0)));
  } catch (const std::exception &) {
    log_line(kLogWarn, "[vclone] WARN: no mel_stats\n");
  }
}

void fail_loading(const char *message) {
  set_last_error("%s", message);
  VcloneModel *model = current_model;
  current_model = nullptr;
  release_model(model);
}

}  // namespace

int load_model(const char *model_path, const char *vocab_path) {
  const int64_t t0 = now_ns();
  use_all_cores();
  current_model = new VcloneModel();
  VcloneModel &model = *current_model;

  if (load_vocabulary(&model.tokenizer, vocab_path) != 0) {
    fail_loading("Failed to load tokenizer");
    return -1;
  }
  log_line(kLogInfo, "[vclone] Initializing modules...\n");
  construct_modules(model);

  log_line(kLogInfo, "[vclone] Loading weights from %s...\n", model_path);
  std::unique_ptr<TensorManifest, ManifestCloser> manifest(open_manifest(model_path));
  if (!manifest) {
    fail_loading("Failed to load manifest");
    return -1;
  }
  log_line(kLogInfo, "[vclone] Archive: %d tensors\n", static_cast<int>(manifest->entries.size()));
  read_mel_stats(manifest.get(), model);
  bind_model_weights(manifest.get(), model);
  manifest.reset();

  model.conditioning_encoder->eval();
  model.conditioning_perceiver->eval();
  model.gpt_decoder->eval();
  model.speaker_encoder->eval();
  model.hifi_decoder->eval();
  model.loaded = true;
  log_line(kLogInfo, "[vclone] Loaded in %.2f sec\n", (now_ns() - t0) / 1e9);
  return 0;
}

void release_model(VcloneModel *model) {
  if (!model) return;
  clear_tokenizer(&model->tokenizer);
  delete model;
}
