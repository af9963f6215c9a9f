#include "archive/manifest.h"
#include "engine/decode_batch.h"
#include "engine/engine.h"
#include "engine/initial_values.h"
#include "engine/language_codes.h"
#include "engine/options.h"
#include "engine/prepared_model.h"
#include "engine/vclone_model.h"
#include "engine/weight_binding.h"
#include "models/gpt/compute_threads.h"
#include "models/gpt/decoder_precision.h"
#include "util/exception_text.h"
#include "util/log.h"
#include "vclone.h"

#include <ATen/Parallel.h>

#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr int64_t kMelBands = 80;

struct ManifestCloser {
  void operator()(TensorManifest *manifest) const { delete manifest; }
};

struct ModelDeleter {
  void operator()(vclone_model *model) const { release_model(model); }
};
using ModelPtr = std::unique_ptr<vclone_model, ModelDeleter>;

// A model's compute threads: as asked, else libtorch's count when
// OMP_NUM_THREADS sets it, else every core this process may run on. The
// count is the model's: each of its calls sets it for the calling thread
// alone (compute_threads.h), never for the process.
int compute_threads(int requested) {
  if (requested > 0) return requested;
  if (std::getenv("OMP_NUM_THREADS")) return std::max(1, at::get_num_threads());
  return available_cores();
}

// Every id the tokenizer can give must name a row of the decoder's text
// embedding; a vocabulary made for another model would otherwise load and
// fail only when a text used the id.
bool vocabulary_fits(const BpeTokenizer &tokenizer, const char *vocab_path) {
  for (const auto &[token, id] : tokenizer.vocab) {
    if (id >= 0 && id < GPTDecoderImpl::kTextVocab) continue;
    set_last_error(
        "Failed to load tokenizer: %s: token \"%.40s\" has id %d; this model's text "
        "ids are 0 to %ld",
        vocab_path, printable_text(token).c_str(), id,
        static_cast<long>(GPTDecoderImpl::kTextVocab - 1));
    return false;
  }
  return true;
}

void construct_modules(vclone_model &model) {
  // Both loads replace every value construction would draw.
  SkipInitialValues skip;
  model.conditioning_encoder = ConditioningEncoder(80, 1024, 16, 6);
  model.conditioning_perceiver = PerceiverResampler(1024, 2, 64, 8, 32, 4);
  model.gpt_decoder = GPTDecoder(WeightInit::kZeros);
  model.speaker_encoder = SpeakerEncoder();
  model.hifi_decoder = HifiDecoder();
}

// The GPT mel is divided by these 80 values; without them every voice would
// be conditioned on unnormalised spectra, so a model lacking them is refused.
bool read_mel_stats(TensorManifest *manifest, vclone_model &model, const char *model_path) {
  model.mel_stats = load_tensor(manifest, "mel_stats");
  if (!model.mel_stats.defined()) {
    set_last_error("Loading failed: %s has no mel_stats tensor", model_path);
    return false;
  }
  if (model.mel_stats.dim() != 1 || model.mel_stats.size(0) != kMelBands) {
    set_last_error("Loading failed: mel_stats in %s has %ld values, expected %ld", model_path,
                   static_cast<long>(model.mel_stats.numel()), static_cast<long>(kMelBands));
    return false;
  }
  log_line(kLogDebug, "[vclone] mel_stats: [%ld]", static_cast<long>(model.mel_stats.size(0)));
  return true;
}

bool read_weights(const char *model_path, vclone_model &model) {
  log_line(kLogInfo, "[vclone] Loading weights from %s...", model_path);
  std::string error;
  std::unique_ptr<TensorManifest, ManifestCloser> manifest(open_manifest(model_path, &error));
  if (!manifest) {
    set_last_error("Failed to load manifest: %s", error.c_str());
    return false;
  }
  log_line(kLogInfo, "[vclone] Archive: %d tensors", static_cast<int>(manifest->entries.size()));
  if (!read_mel_stats(manifest.get(), model, model_path)) return false;
  if (!bind_model_weights(manifest.get(), model, &error)) {
    set_last_error("Failed to load weights from %s: %s", model_path, error.c_str());
    return false;
  }
  return true;
}

// Reduced precisions store the decoder's projections and head in bf16 or
// int8 and release the float32 copies; the vocoder then runs in bf16 where
// the CPU has AVX512_BF16 (its waveform stays over 40 dB from float32's).
void apply_precision(vclone_model &model) {
  if (model.precision == VCLONE_PRECISION_F32) return;
  set_decoder_precision(*model.gpt_decoder, model.precision == VCLONE_PRECISION_BF16
                                                ? DecoderPrecision::kBF16
                                                : DecoderPrecision::kInt8);
  if (vocoder_bf16_supported()) set_vocoder_bf16(*model.hifi_decoder, true);
  log_line(kLogInfo, "[vclone] Decoder weights in %s",
           model.precision == VCLONE_PRECISION_BF16 ? "bf16" : "int8");
}

bool load_archive(const char *model_path, const char *vocab_path, vclone_model &model) {
  if (!vocab_path) {
    set_last_error(
        "Loading failed: %s is not a prepared model, and a weight archive needs a vocabulary file",
        model_path);
    return false;
  }
  std::string error;
  if (load_vocabulary(&model.tokenizer, vocab_path, &error) != 0) {
    set_last_error("Failed to load tokenizer: %s", error.c_str());
    return false;
  }
  if (!vocabulary_fits(model.tokenizer, vocab_path)) return false;
  model.languages = language_codes(model.tokenizer);
  log_line(kLogInfo, "[vclone] Initializing modules...");
  construct_modules(model);
  if (!read_weights(model_path, model)) return false;
  apply_precision(model);
  return true;
}

}  // namespace

vclone_model *load_model(const char *model_path, const char *vocab_path,
                         const vclone_load_options &options) {
  const int64_t t0 = now_ns();
  ModelPtr model(new vclone_model());
  model->n_threads = compute_threads(options.n_threads);
  ComputeThreads threads(model->n_threads);
  model->precision = options.precision;

  if (is_prepared_model(model_path)) {
    if (!load_prepared_model(model_path, vocab_path, options.precision, *model,
                             construct_modules) ||
        !vocabulary_fits(model->tokenizer, vocab_path ? vocab_path : model_path))
      return nullptr;
  } else if (!load_archive(model_path, vocab_path, *model)) {
    return nullptr;
  }
  model->gpt_decoder->set_threads(model->n_threads);
  model->max_parallel = options.max_parallel;
  model->batch =
      std::make_shared<DecodeBatch>(*model->gpt_decoder, model->n_threads, options.max_parallel);

  model->conditioning_encoder->eval();
  model->conditioning_perceiver->eval();
  model->gpt_decoder->eval();
  model->speaker_encoder->eval();
  model->hifi_decoder->eval();
  model->loaded = true;
  log_line(kLogInfo, "[vclone] Loaded in %.2f sec", (now_ns() - t0) / 1e9);
  return model.release();
}

void release_model(vclone_model *model) {
  if (!model) return;
  clear_tokenizer(&model->tokenizer);
  delete model;
}
