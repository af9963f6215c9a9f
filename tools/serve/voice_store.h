// The voices folder: <id>.vcv files, whether this server saved them or
// `vclone voice` did. It is the server's only state, so replicas that share
// the folder serve the same voices.
#pragma once

#include "vclone.h"

#include <memory>
#include <string>
#include <vector>

struct VoiceDeleter {
  void operator()(vclone_voice *voice) const { vclone_voice_free(voice); }
};
using VoicePtr = std::shared_ptr<vclone_voice>;

struct VoiceEntry {
  std::string id;
  long long created;  // seconds since the epoch (the file's modification time)
};

class VoiceStore {
 public:
  // Creates the folder when it is missing. False with a message otherwise.
  bool open(const std::string &dir, std::string &error);

  // Ids are 1-64 letters, digits, '-' or '_', starting with a letter or a
  // digit, so no id can leave the folder or name a hidden file.
  static bool is_valid_id(const std::string &id);

  std::vector<VoiceEntry> list() const;
  bool exists(const std::string &id) const;
  // The voice, or null with a message (the file is missing or not a voice).
  VoicePtr load(const std::string &id, std::string &error) const;
  // Saves under a new id; fails with EEXIST-like "taken" when the id exists.
  // Returns 0, 1 when the id is taken, -1 with a message.
  int save_new(const std::string &id, const vclone_voice *voice, std::string &error) const;
  // True when the file existed and is gone.
  bool remove(const std::string &id) const;

  std::string path_of(const std::string &id) const;

 private:
  std::string dir_;
};

// A fresh id for a voice uploaded without a name: "voice-" and 12 hex digits.
std::string random_voice_id();
