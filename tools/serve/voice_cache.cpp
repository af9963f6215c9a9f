#include "serve/voice_cache.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

bool VoiceCache::FileStamp::operator==(const FileStamp &other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

VoicePtr VoiceCache::get(const std::string &id, Lookup &how, std::string &error) {
  struct stat info;
  const std::string path = store_.path_of(id);
  if (!VoiceStore::is_valid_id(id) || stat(path.c_str(), &info) != 0) {
    error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  const FileStamp stamp{info.st_dev, info.st_ino, info.st_size, info.st_mtim};

  // Loading happens under the lock: a voice file is small (about 130 KB) and
  // two requests for one new voice then share a single object.
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = index_.find(id);
  if (found != index_.end()) {
    entries_.splice(entries_.begin(), entries_, found->second);
    if (found->second->stamp == stamp) {
      how = Lookup::kHit;
      return found->second->voice;
    }
  }
  VoicePtr voice = store_.load(id, error);
  if (!voice) return nullptr;
  if (found != index_.end()) {
    how = Lookup::kReloaded;
    found->second->stamp = stamp;
    found->second->voice = voice;
    return voice;
  }
  how = Lookup::kLoaded;
  entries_.push_front({id, stamp, voice});
  index_[id] = entries_.begin();
  while (entries_.size() > capacity_) {
    index_.erase(entries_.back().id);
    entries_.pop_back();
  }
  return voice;
}

void VoiceCache::forget(const std::string &id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = index_.find(id);
  if (found == index_.end()) return;
  entries_.erase(found->second);
  index_.erase(found);
}

size_t VoiceCache::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

const char *lookup_label(VoiceCache::Lookup how) {
  switch (how) {
    case VoiceCache::Lookup::kHit:
      return "hit";
    case VoiceCache::Lookup::kLoaded:
      return "loaded";
    case VoiceCache::Lookup::kReloaded:
      return "reloaded";
  }
  return "loaded";
}
