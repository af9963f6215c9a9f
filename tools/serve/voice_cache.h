// Voices kept loaded between requests. The library keeps the decoder's keys
// and values for the conditioning of the last few voice objects it spoke, so
// only a voice object reused from one request to the next skips that pass.
// Bounded, least recently used first out; a file changed on disk (by
// `vclone voice`, another replica, a delete and re-upload) is read again.
#pragma once

#include "serve/voice_store.h"

#include <sys/types.h>

#include <ctime>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

class VoiceCache {
 public:
  enum class Lookup { kHit, kLoaded, kReloaded };

  VoiceCache(const VoiceStore &store, size_t capacity) : store_(store), capacity_(capacity) {}

  // The voice, or null with a message (missing, or not a voice file).
  VoicePtr get(const std::string &id, Lookup &how, std::string &error);
  // Drops the voice (after its file was deleted). Requests holding it finish with it.
  void forget(const std::string &id);
  size_t size() const;

 private:
  // What tells one version of a file from another.
  struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    bool operator==(const FileStamp &other) const;
  };
  struct Entry {
    std::string id;
    FileStamp stamp;
    VoicePtr voice;
  };

  const VoiceStore &store_;
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::list<Entry> entries_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

const char *lookup_label(VoiceCache::Lookup how);
