#include "serve/warm_up.h"

#include "common/audio_encoder.h"
#include "common/audio_format.h"

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

// A quiet 220 Hz tone of two seconds as a WAV file in /tmp; "" when it
// cannot be written.
std::string write_tone() {
  constexpr int kRate = 22050;
  std::vector<float> samples(2 * kRate);
  for (size_t i = 0; i < samples.size(); i++)
    samples[i] =
        0.1f * static_cast<float>(std::sin(2 * M_PI * 220.0 * static_cast<double>(i) / kRate));
  std::string error;
  const std::string bytes =
      encode_whole(AudioFormat::kWav, samples.data(), samples.size(), kRate, error);
  if (bytes.empty()) return "";
  char path[] = "/tmp/vclone-warm-up-XXXXXX.wav";
  const int fd = mkstemps(path, 4);
  if (fd < 0) return "";
  const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  if (!written) {
    unlink(path);
    return "";
  }
  return path;
}

}  // namespace

void warm_up(vclone_model *model) {
  const std::string path = write_tone();
  if (path.empty()) return;
  vclone_voice *voice = vclone_voice_from_wav(model, path.c_str());
  unlink(path.c_str());
  if (!voice) return;
  vclone_options options = vclone_default_options();
  options.max_codes = 8;
  options.seed = 1;
  std::string language = vclone_model_languages(model);
  language = language.substr(0, language.find(' '));
  int32_t n_samples = 0;
  vclone_free(vclone_speak(model, "Ready.", language.c_str(), voice, &options, &n_samples));
  vclone_voice_free(voice);
}
