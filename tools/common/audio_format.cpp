#include "common/audio_format.h"

#include <algorithm>
#include <cctype>

namespace {

struct FormatInfo {
  AudioFormat format;
  const char *name;
  const char *mime;
};

constexpr FormatInfo kFormats[] = {
    {AudioFormat::kWav, "wav", "audio/wav"},    {AudioFormat::kPcm, "pcm", "audio/pcm"},
    {AudioFormat::kMp3, "mp3", "audio/mpeg"},   {AudioFormat::kOpus, "opus", "audio/ogg"},
    {AudioFormat::kFlac, "flac", "audio/flac"}, {AudioFormat::kAac, "aac", "audio/aac"},
};

const FormatInfo &info_of(AudioFormat format) {
  for (const FormatInfo &info : kFormats)
    if (info.format == format) return info;
  return kFormats[0];
}

}  // namespace

const char *audio_format_name(AudioFormat format) { return info_of(format).name; }

const char *audio_format_mime(AudioFormat format) { return info_of(format).mime; }

bool audio_format_from_name(const std::string &name, AudioFormat &format) {
  for (const FormatInfo &info : kFormats)
    if (name == info.name) {
      format = info.format;
      return true;
    }
  return false;
}

bool audio_format_from_path(const std::string &path, AudioFormat &format) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string extension = path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == "raw") extension = "pcm";
  if (extension == "ogg") extension = "opus";
  return audio_format_from_name(extension, format);
}

std::string audio_format_list() {
  std::string list;
  for (const FormatInfo &info : kFormats)
    list += (list.empty() ? "" : ", ") + std::string(info.name);
  return list;
}
