#include "serve/upload_check.h"

#include <sndfile.h>

#include <cstring>
#include <string>

namespace {

// libsndfile reading from the upload's bytes in memory.
struct MemoryFile {
  std::string_view bytes;
  sf_count_t position = 0;
};

sf_count_t memory_length(void *user) {
  return static_cast<sf_count_t>(static_cast<MemoryFile *>(user)->bytes.size());
}

sf_count_t memory_seek(sf_count_t offset, int whence, void *user) {
  auto *file = static_cast<MemoryFile *>(user);
  const sf_count_t size = static_cast<sf_count_t>(file->bytes.size());
  sf_count_t target = whence == SEEK_SET   ? offset
                      : whence == SEEK_CUR ? file->position + offset
                                           : size + offset;
  if (target < 0 || target > size) return -1;
  file->position = target;
  return target;
}

sf_count_t memory_read(void *out, sf_count_t count, void *user) {
  auto *file = static_cast<MemoryFile *>(user);
  const sf_count_t size = static_cast<sf_count_t>(file->bytes.size());
  if (count <= 0 || file->position >= size) return 0;
  const sf_count_t n = std::min(count, size - file->position);
  std::memcpy(out, file->bytes.data() + file->position, static_cast<size_t>(n));
  file->position += n;
  return n;
}

sf_count_t memory_write(const void *, sf_count_t, void *) { return 0; }
sf_count_t memory_tell(void *user) { return static_cast<MemoryFile *>(user)->position; }

ApiError too_large(const std::string &what) {
  ApiError error{
      413,
      "the recording is too large: " + what +
          "; at most its first seconds make the voice, so send a shorter, mono or lower-rate copy",
      "request_too_large", "file"};
  return error;
}

}  // namespace

ApiError check_upload_claims(std::string_view bytes, const UploadBounds &bounds) {
  SF_VIRTUAL_IO io{memory_length, memory_seek, memory_read, memory_write, memory_tell};
  MemoryFile file{bytes};
  SF_INFO info{};
  SNDFILE *sound = sf_open_virtual(&io, SFM_READ, &info, &file);
  if (!sound) return {};
  sf_close(sound);
  if (info.samplerate > bounds.max_sample_rate)
    return too_large("its sample rate " + std::to_string(info.samplerate) + " Hz is above " +
                     std::to_string(bounds.max_sample_rate) + " Hz");
  if (info.channels > bounds.max_channels)
    return too_large(std::to_string(info.channels) + " channels, more than " +
                     std::to_string(bounds.max_channels));
  // Streams of unknown length report the largest count; the library's reader
  // bounds what it decodes of those.
  if (info.frames <= 0 || info.frames == SF_COUNT_MAX || info.samplerate <= 0) return {};
  const double seconds = static_cast<double>(info.frames) / info.samplerate;
  if (seconds > bounds.max_seconds)
    return too_large(std::to_string(static_cast<long long>(seconds)) + " seconds, longer than " +
                     std::to_string(static_cast<long long>(bounds.max_seconds)));
  if (static_cast<double>(info.frames) * info.channels > static_cast<double>(bounds.max_samples))
    return too_large(std::to_string(info.frames) + " frames of " + std::to_string(info.channels) +
                     " channels, more than " + std::to_string(bounds.max_samples) + " samples");
  return {};
}
