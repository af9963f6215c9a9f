// Voices from reference recordings, and voice files.
//
// A voice file is a weight archive (manifest.json and data/<key> records, as
// tools/vclone_archive.py reads them) with two tensors, "cond_latents" and
// "speaker_embedding", and a "voice.json" record that marks it as a voice:
// {"kind": "vclone-voice", "format_version": 1}. A later format raises the
// version; this library refuses versions it does not know.
#include "engine/voice.h"

#include "archive/manifest.h"
#include "audio/mel.h"
#include "audio/resample.h"
#include "audio/wav_io.h"
#include "engine/engine.h"
#include "engine/vclone_model.h"
#include "engine/guarded.h"
#include "models/gpt/compute_threads.h"
#include "util/log.h"
#include "vclone.h"

#include <caffe2/serialize/inline_container.h>
#include <nlohmann/json.hpp>
#include <torch/types.h>

#include <cmath>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr int kConditioningRate = 22050;
constexpr int kSpeakerRate = 16000;
constexpr int64_t kChunkLength = 132300;  // 6 s at 22050 Hz
constexpr int64_t kMaxChunks = 4;
// The speaker path runs over the whole reference, so its memory grows with
// the duration (about 3 MB a second); a tiny file at 1 Hz would otherwise ask
// for tens of gigabytes once resampled.
constexpr int kMaxReferenceSeconds = 600;
// What a voice uses of its recording: the conditioning's four 6-second
// chunks (and a second more, so that resampling cannot round the fourth
// away), and the speaker embedding over the same stretch, so that making a
// voice costs bounded memory (the speaker path takes about 3 MB a second).
constexpr double kVoiceSeconds =
    kMaxChunks * kChunkLength / static_cast<double>(kConditioningRate) + 1.0;

constexpr const char *kVoiceRecord = "voice.json";
constexpr const char *kVoiceKind = "vclone-voice";
constexpr int kVoiceFormat = 1;
const std::vector<int64_t> kLatentShape = {1, 1024, 32};
const std::vector<int64_t> kSpeakerShape = {1, 512, 1};

// The reference as one mono channel (channels averaged frame by frame while
// decoding). A voice uses the first kVoiceSeconds; the original interface's
// speaker path hears the whole recording. false with the error recorded when
// it cannot be read or is too long.
bool read_reference(const char *path, bool whole, at::Tensor &reference, int &rate) {
  WavData wav{};
  std::string error;
  AudioReadOptions options;
  options.max_seconds = kMaxReferenceSeconds;
  options.read_seconds = whole ? 0 : kVoiceSeconds;
  options.mono = true;
  if (read_audio(path, &wav, options, &error) != 0) {
    set_last_error("Failed to read: %s", error.c_str());
    return false;
  }
  // The tensor takes the decoded samples over rather than copying them: at
  // high rates they are the largest block a voice needs.
  float *samples = wav.samples;
  try {
    reference = torch::from_blob(
        samples, {wav.frames}, [](void *p) { free(p); }, torch::kFloat32);
  } catch (...) {
    free(samples);
    throw;
  }
  rate = wav.sample_rate;
  return true;
}

int64_t resampled_length(int64_t n, int from_rate, int to_rate) { return n * to_rate / from_rate; }

// Mean of the perceiver outputs over up to four 6-second chunks.
at::Tensor conditioning_latents(vclone_model &model, const at::Tensor &audio22) {
  const int64_t n22 = audio22.size(0);
  const int64_t chunks = std::max<int64_t>(1, std::min(kMaxChunks, n22 / kChunkLength));
  at::Tensor sum;
  for (int64_t i = 0; i < chunks; i++) {
    const int64_t start = i * kChunkLength;
    const int64_t end = std::min(n22, start + kChunkLength);
    at::Tensor mel = gpt_mel_spectrogram(audio22.slice(0, start, end), model.mel_stats);
    at::Tensor frames = model.conditioning_encoder->forward(mel);
    at::Tensor latents = model.conditioning_perceiver->forward(frames.permute({0, 2, 1}));
    sum = i == 0 ? latents : sum + latents;
  }
  return sum / static_cast<float>(chunks);
}

at::Tensor speaker_embedding(vclone_model &model, const at::Tensor &audio16) {
  at::Tensor mel = speaker_mel_spectrogram(audio16);
  return model.speaker_encoder->forward(mel).unsqueeze(-1);
}

bool has_shape(const at::Tensor &t, const std::vector<int64_t> &shape) {
  return t.defined() && t.sizes() == at::IntArrayRef(shape);
}

std::string shape_text(const at::Tensor &t) {
  std::string text = "[";
  for (int64_t i = 0; i < t.dim(); i++) text += (i ? ", " : "") + std::to_string(t.size(i));
  return text + "]";
}

// Records a float32 tensor as data/<key> and its manifest entry.
void write_tensor(caffe2::serialize::PyTorchStreamWriter &writer, nlohmann::json &manifest,
                  const std::string &name, const std::string &key, const at::Tensor &tensor) {
  at::Tensor values = tensor.contiguous();
  std::vector<int64_t> shape(values.sizes().begin(), values.sizes().end());
  std::vector<int64_t> stride(values.strides().begin(), values.strides().end());
  manifest[name] = {{"storage_key", key},
                    {"offset", 0},
                    {"shape", shape},
                    {"stride", stride},
                    {"numel", values.numel()}};
  writer.writeRecord("data/" + key, values.data_ptr<float>(), values.numel() * sizeof(float));
}

// The voice marker record; false with the error recorded when it is absent
// or names another kind or a format this library does not read.
bool check_voice_marker(TensorManifest &manifest, const char *path) {
  if (!manifest.reader->hasRecord(kVoiceRecord)) {
    set_last_error("Not a voice file: %s has no %s record (a weight archive?)", path, kVoiceRecord);
    return false;
  }
  auto [data, size] = manifest.reader->getRecord(kVoiceRecord);
  const nlohmann::json marker =
      nlohmann::json::parse(static_cast<const char *>(data.get()),
                            static_cast<const char *>(data.get()) + size, nullptr, false);
  if (!marker.is_object() || marker.value("kind", std::string()) != kVoiceKind) {
    set_last_error("Not a voice file: %s does not mark itself as \"%s\"", path, kVoiceKind);
    return false;
  }
  const nlohmann::json &version = marker["format_version"];
  if (!version.is_number_integer() || version.get<int64_t>() != kVoiceFormat) {
    set_last_error("Voice file %s has format version %s; this library reads version %d", path,
                   version.dump().c_str(), kVoiceFormat);
    return false;
  }
  return true;
}

// A voice tensor of exactly the given shape and finite values.
at::Tensor read_voice_tensor(TensorManifest &manifest, const char *path, const char *name,
                             const std::vector<int64_t> &shape) {
  at::Tensor t = load_tensor(&manifest, name);
  if (!t.defined()) {
    set_last_error("Bad voice file %s: tensor %s is missing or unreadable", path, name);
    return {};
  }
  if (!has_shape(t, shape)) {
    set_last_error("Bad voice file %s: %s has shape %s", path, name, shape_text(t).c_str());
    return {};
  }
  if (!torch::isfinite(t).all().item<bool>()) {
    set_last_error("Bad voice file %s: %s holds values that are not finite", path, name);
    return {};
  }
  return t;
}

}  // namespace

bool compute_voice(vclone_model &model, const char *ref_wav, bool whole_recording,
                   vclone_voice &voice) {
  torch::NoGradGuard no_grad;
  at::Tensor reference;
  int rate = 0;
  if (!read_reference(ref_wav, whole_recording, reference, rate)) return false;
  const int64_t frames = reference.size(0);
  if (rate <= 0 || resampled_length(frames, rate, kSpeakerRate) < 1 ||
      resampled_length(frames, rate, kConditioningRate) < 1) {
    set_last_error("Reference too short: %s has %ld samples at %d Hz", ref_wav,
                   static_cast<long>(frames), rate);
    return false;
  }
  // Both rates are made before either path runs, so that the recording at
  // its own rate (up to 192 kHz) is freed before the paths' activations
  // are allocated.
  at::Tensor audio22 = resample_audio(reference, rate, kConditioningRate);
  at::Tensor audio16 = resample_audio(reference, rate, kSpeakerRate);
  reference.reset();
  voice.cond_latents = conditioning_latents(model, audio22);
  audio22.reset();
  voice.speaker_embedding = speaker_embedding(model, audio16);
  return true;
}

bool voice_fits(const vclone_voice &voice) {
  if (has_shape(voice.cond_latents, kLatentShape) &&
      has_shape(voice.speaker_embedding, kSpeakerShape))
    return true;
  set_last_error("Voice does not fit this model: latents %s, speaker embedding %s",
                 shape_text(voice.cond_latents).c_str(),
                 shape_text(voice.speaker_embedding).c_str());
  return false;
}

extern "C" {

VCLONE_API vclone_voice *vclone_voice_from_wav(vclone_model *model, const char *ref_wav) {
  if (!model || !ref_wav) {
    set_last_error("vclone_voice_from_wav: model and ref_wav required");
    return nullptr;
  }
  return guarded(
      "Voice failed", static_cast<vclone_voice *>(nullptr),
      [&]() -> vclone_voice * {
        std::lock_guard<std::mutex> lock(model->call_mutex);
        ComputeThreads threads(model->n_threads);
        auto voice = std::make_unique<vclone_voice>();
        if (!compute_voice(*model, ref_wav, false, *voice)) return nullptr;
        return voice.release();
      },
      ref_wav);
}

VCLONE_API int vclone_voice_save(const vclone_voice *voice, const char *path) {
  if (!voice || !path) {
    set_last_error("vclone_voice_save: voice and path required");
    return -1;
  }
  return guarded(
      "Failed to save voice", -1,
      [&] {
        if (!voice_fits(*voice)) return -1;
        caffe2::serialize::PyTorchStreamWriter writer(path);
        nlohmann::json manifest = nlohmann::json::object();
        write_tensor(writer, manifest, "cond_latents", "0", voice->cond_latents);
        write_tensor(writer, manifest, "speaker_embedding", "1", voice->speaker_embedding);
        const std::string manifest_text = manifest.dump();
        writer.writeRecord("manifest.json", manifest_text.data(), manifest_text.size());
        const std::string marker =
            nlohmann::json{{"kind", kVoiceKind}, {"format_version", kVoiceFormat}}.dump();
        writer.writeRecord(kVoiceRecord, marker.data(), marker.size());
        writer.writeEndOfFile();
        log_line(kLogInfo, "[vclone] Saved voice to %s", path);
        return 0;
      },
      path);
}

VCLONE_API vclone_voice *vclone_voice_load(const char *path) {
  if (!path) {
    set_last_error("vclone_voice_load: path required");
    return nullptr;
  }
  return guarded(
      "Not a voice file", static_cast<vclone_voice *>(nullptr),
      [&]() -> vclone_voice * {
        std::string error;
        std::unique_ptr<TensorManifest> manifest(open_manifest(path, &error));
        if (!manifest) {
          set_last_error("Not a voice file: %s", error.c_str());
          return nullptr;
        }
        if (!check_voice_marker(*manifest, path)) return nullptr;
        auto voice = std::make_unique<vclone_voice>();
        voice->cond_latents = read_voice_tensor(*manifest, path, "cond_latents", kLatentShape);
        if (!voice->cond_latents.defined()) return nullptr;
        voice->speaker_embedding =
            read_voice_tensor(*manifest, path, "speaker_embedding", kSpeakerShape);
        if (!voice->speaker_embedding.defined()) return nullptr;
        return voice.release();
      },
      path);
}

VCLONE_API void vclone_voice_free(vclone_voice *voice) { delete voice; }

}  // extern "C"
