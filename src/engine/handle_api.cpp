// The exported functions of the model handle: entry checks, the model's lock,
// and the guard that turns any exception into a failure result so that none
// crosses the C boundary.
#include "archive/manifest.h"
#include "engine/decode_batch.h"
#include "engine/engine.h"
#include "engine/options.h"
#include "engine/guarded.h"
#include "engine/pipeline.h"
#include "engine/prepared_model.h"
#include "engine/vclone_model.h"
#include "engine/voice.h"
#include "engine/language_codes.h"
#include "text/language_rules.h"
#include "text/normalizer.h"
#include "util/log.h"
#include "vclone.h"

#include <algorithm>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// The checks every speaking call makes before any work.
bool check_speak_arguments(const char *function, vclone_model *model, const char *text,
                           const char *language, const vclone_voice *voice,
                           const vclone_options &options) {
  if (!model || !text || !language || !voice) {
    set_last_error("%s: model, text, language and voice required", function);
    return false;
  }
  return check_options(options);
}

SynthesisRequest make_request(const char *text, const char *language, const vclone_voice *voice,
                              const vclone_options &options, bool streaming) {
  SynthesisRequest request;
  request.text = text;
  request.language = language;
  request.voice = voice;
  request.options = options;
  request.streaming = streaming;
  return request;
}

char *copy_string(const std::string &text) {
  char *copy = static_cast<char *>(malloc(text.size() + 1));
  if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

float *samples_buffer(const std::vector<float> &samples, int32_t *n_samples) {
  if (samples.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    set_last_error("Synthesis failed: %zu samples do not fit the count", samples.size());
    return nullptr;
  }
  auto *buffer = static_cast<float *>(malloc(sizeof(float) * std::max<size_t>(samples.size(), 1)));
  if (!buffer) {
    set_last_error("Out of memory for %zu samples", samples.size());
    return nullptr;
  }
  std::copy(samples.begin(), samples.end(), buffer);
  *n_samples = static_cast<int32_t>(samples.size());
  return buffer;
}

extern "C" {

VCLONE_API const char *vclone_version(void) { return VCLONE_VERSION_STRING; }

VCLONE_API int32_t vclone_sample_rate(void) { return kOutputSampleRate; }

VCLONE_API void vclone_free(void *buffer) { free(buffer); }

VCLONE_API void vclone_log_set(vclone_log_callback callback, void *user_data) {
  set_log_callback(callback, user_data);
}

VCLONE_API vclone_model *vclone_model_load(const char *model_path, const char *vocab_path,
                                           const vclone_load_options *options) {
  if (!model_path) {
    set_last_error("vclone_model_load: model_path required");
    return nullptr;
  }
  const vclone_load_options chosen = options ? *options : vclone_default_load_options();
  if (!check_load_options(chosen)) return nullptr;
  return guarded("Loading", static_cast<vclone_model *>(nullptr),
                 [&] { return load_model(model_path, vocab_path, chosen); });
}

VCLONE_API void vclone_model_free(vclone_model *model) { release_model(model); }

VCLONE_API const char *vclone_model_languages(const vclone_model *model) {
  return model ? model->languages.c_str() : "";
}

VCLONE_API int vclone_model_get_activity(vclone_model *model, vclone_model_activity *activity) {
  if (!model || !activity) {
    set_last_error("vclone_model_get_activity: model and activity required");
    return -1;
  }
  *activity = vclone_model_activity{};
  activity->max_parallel = model->max_parallel;
  if (!model->batch) return 0;
  const BatchActivity now = model->batch->activity();
  activity->running = now.running;
  activity->waiting = now.waiting;
  activity->step_rows = now.step_rows;
  activity->steps = now.steps;
  activity->step_seconds = now.step_seconds;
  std::copy(std::begin(now.step_time_buckets), std::end(now.step_time_buckets),
            activity->step_time_buckets);
  return 0;
}

VCLONE_API int vclone_model_load_lexicon(vclone_model *model, const char *path) {
  if (!model || !path) {
    set_last_error("vclone_model_load_lexicon: model and path required");
    return -1;
  }
  return guarded("Loading the lexicon", -1, [&] {
    std::lock_guard<std::mutex> lock(model->call_mutex);
    std::string error;
    if (model->lexicon.load(path, error)) return 0;
    set_last_error("Lexicon %s", error.c_str());
    return -1;
  });
}

VCLONE_API char *vclone_normalize_text(const char *text, const char *language) {
  if (!text || !language) {
    set_last_error("vclone_normalize_text: text and language required");
    return nullptr;
  }
  if (!normalizer_knows(language)) {
    set_last_error("Unknown language '%s': the normaliser has %s", language,
                   normalizer_languages().c_str());
    return nullptr;
  }
  return guarded("Normalisation", static_cast<char *>(nullptr), [&]() -> char * {
    const std::string spoken = normalize_text(text, language);
    char *copy = strdup(spoken.c_str());
    if (!copy) set_last_error("Out of memory for %zu bytes", spoken.size());
    return copy;
  });
}

VCLONE_API float *vclone_speak(vclone_model *model, const char *text, const char *language,
                               const vclone_voice *voice, const vclone_options *options,
                               int32_t *n_samples) {
  const vclone_options chosen = options ? *options : vclone_default_options();
  if (!n_samples) {
    set_last_error("vclone_speak: n_samples required");
    return nullptr;
  }
  *n_samples = 0;
  if (!check_speak_arguments("vclone_speak", model, text, language, voice, chosen)) return nullptr;
  return guarded("Synthesis", static_cast<float *>(nullptr), [&]() -> float * {
    std::vector<float> audio;
    const AudioSink collect = [&](const float *samples, int64_t count) {
      audio.insert(audio.end(), samples, samples + count);
      return true;
    };
    if (synthesize(*model, make_request(text, language, voice, chosen, false), collect) !=
        SpeakResult::kDone)
      return nullptr;
    return samples_buffer(audio, n_samples);
  });
}

VCLONE_API int vclone_speak_stream(vclone_model *model, const char *text, const char *language,
                                   const vclone_voice *voice, const vclone_options *options,
                                   vclone_audio_callback on_audio, void *user_data) {
  const vclone_options chosen = options ? *options : vclone_default_options();
  if (!on_audio) {
    set_last_error("vclone_speak_stream: on_audio required");
    return -1;
  }
  if (!check_speak_arguments("vclone_speak_stream", model, text, language, voice, chosen))
    return -1;
  return guarded("Synthesis", -1, [&] {
    // The callback takes an int count; a chunk never comes near that.
    const AudioSink deliver = [&](const float *samples, int64_t count) {
      return on_audio(samples, static_cast<int>(count), user_data) == 0;
    };
    switch (synthesize(*model, make_request(text, language, voice, chosen, true), deliver)) {
      case SpeakResult::kDone:
        return 0;
      case SpeakResult::kStopped:
        return 1;
      default:
        return -1;
    }
  });
}

VCLONE_API char *vclone_vocab_languages(const char *vocab_path) {
  if (!vocab_path) {
    set_last_error("vclone_vocab_languages: vocab_path required");
    return nullptr;
  }
  return guarded("Reading the vocabulary", static_cast<char *>(nullptr), [&]() -> char * {
    BpeTokenizer tokenizer;
    std::string error;
    if (read_vocabulary(&tokenizer, vocab_path, &error) != 0) {
      set_last_error("Failed to load tokenizer: %s", error.c_str());
      return nullptr;
    }
    return copy_string(language_codes(tokenizer));
  });
}

VCLONE_API int32_t vclone_manifest_tensor(void *handle, int32_t index, const char **name,
                                          int64_t *dims, int32_t max_dims) {
  auto *manifest = static_cast<TensorManifest *>(handle);
  if (!manifest || index < 0 || static_cast<size_t>(index) >= manifest->entries.size()) return -1;
  // Name order, so that indices are stable for a given archive.
  std::vector<const std::pair<const std::string, ManifestEntry> *> ordered;
  for (const auto &entry : manifest->entries) ordered.push_back(&entry);
  std::sort(ordered.begin(), ordered.end(),
            [](const auto *a, const auto *b) { return a->first < b->first; });
  const auto &chosen = *ordered[static_cast<size_t>(index)];
  if (name) *name = chosen.first.c_str();
  const std::vector<int64_t> &shape = chosen.second.shape;
  for (int32_t i = 0; dims && i < max_dims && i < static_cast<int32_t>(shape.size()); i++)
    dims[i] = shape[i];
  return static_cast<int32_t>(shape.size());
}

}  // extern "C"
