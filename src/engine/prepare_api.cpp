// The exported functions of prepared models: vclone_model_prepare and
// vclone_model_verify. vclone_model_load recognises a prepared file itself.
#include "engine/engine.h"
#include "engine/options.h"
#include "engine/prepared_model.h"
#include "engine/vclone_model.h"
#include "models/gpt/decoder_precision.h"
#include "util/exception_text.h"
#include "util/log.h"
#include "vclone.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

struct ModelDeleter {
  void operator()(vclone_model *model) const { release_model(model); }
};

template <class Body>
int guarded_status(const char *what, Body body) {
  try {
    return body();
  } catch (const std::exception &e) {
    set_last_error("%s failed: %s", what, exception_text(e));
  } catch (...) {
    set_last_error("%s failed: unknown error", what);
  }
  return -1;
}

bool read_text(const char *path, std::string *text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    set_last_error("Preparing failed: %s: %s", path, std::strerror(errno));
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return true;
}

int prepare(const char *model_path, const char *vocab_path, int32_t precision,
            const char *out_path) {
  if (is_prepared_model(model_path)) {
    set_last_error(
        "Preparing failed: %s is a prepared model already; prepare from its weight archive",
        model_path);
    return -1;
  }
  std::string vocabulary;
  if (!read_text(vocab_path, &vocabulary)) return -1;
  // The decoder is converted here rather than by the load: the vocoder must
  // stay float32 in the file (it runs in bf16 only on CPUs that have it).
  vclone_load_options options = vclone_default_load_options();
  std::unique_ptr<vclone_model, ModelDeleter> model(load_model(model_path, vocab_path, options));
  if (!model) return -1;
  if (precision != VCLONE_PRECISION_F32)
    set_decoder_precision(*model->gpt_decoder, precision == VCLONE_PRECISION_BF16
                                                   ? DecoderPrecision::kBF16
                                                   : DecoderPrecision::kInt8);
  model->precision = precision;
  std::string error;
  if (!write_prepared_model(*model, vocabulary, out_path, &error)) {
    set_last_error("Preparing failed: %s", error.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

VCLONE_API int vclone_model_prepare(const char *model_path, const char *vocab_path,
                                    int32_t precision, const char *out_path) {
  if (!model_path || !vocab_path || !out_path) {
    set_last_error("vclone_model_prepare: model_path, vocab_path and out_path required");
    return -1;
  }
  vclone_load_options options = vclone_default_load_options();
  options.precision = precision;
  if (!check_load_options(options)) return -1;
  return guarded_status("Preparing",
                        [&] { return prepare(model_path, vocab_path, precision, out_path); });
}

VCLONE_API int vclone_model_verify(const char *path) {
  if (!path) {
    set_last_error("vclone_model_verify: path required");
    return -1;
  }
  return guarded_status("Verifying", [&] {
    std::string report;
    if (!verify_prepared_model(path, &report)) {
      set_last_error("Verification failed: %s", report.c_str());
      return -1;
    }
    log_line(kLogInfo, "[vclone] %s", report.c_str());
    return 0;
  });
}
