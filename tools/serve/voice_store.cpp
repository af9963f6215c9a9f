#include "serve/voice_store.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

bool VoiceStore::open(const std::string &dir, std::string &error) {
  dir_ = dir;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    error = dir + ": cannot create the voices folder: " + std::strerror(errno);
    return false;
  }
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = dir + ": not a folder";
    return false;
  }
  return true;
}

bool VoiceStore::is_valid_id(const std::string &id) {
  if (id.empty() || id.size() > 64 || !std::isalnum(static_cast<unsigned char>(id[0])))
    return false;
  return std::all_of(id.begin(), id.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
  });
}

std::string VoiceStore::path_of(const std::string &id) const { return dir_ + "/" + id + ".vcv"; }

std::vector<VoiceEntry> VoiceStore::list() const {
  std::vector<VoiceEntry> voices;
  DIR *folder = opendir(dir_.c_str());
  if (!folder) return voices;
  while (const dirent *entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".vcv") != 0) continue;
    const std::string id = name.substr(0, name.size() - 4);
    struct stat info;
    if (!is_valid_id(id) || stat(path_of(id).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
      continue;
    voices.push_back({id, static_cast<long long>(info.st_mtime)});
  }
  closedir(folder);
  std::sort(voices.begin(), voices.end(),
            [](const VoiceEntry &a, const VoiceEntry &b) { return a.id < b.id; });
  return voices;
}

bool VoiceStore::exists(const std::string &id) const {
  struct stat info;
  return is_valid_id(id) && stat(path_of(id).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

VoicePtr VoiceStore::load(const std::string &id, std::string &error) const {
  vclone_voice *voice = vclone_voice_load(path_of(id).c_str());
  if (!voice) {
    const char *message = vclone_get_last_error();
    error = message ? message : "cannot read voice " + id;
    return nullptr;
  }
  return VoicePtr(voice, VoiceDeleter());
}

int VoiceStore::save_new(const std::string &id, const vclone_voice *voice,
                         std::string &error) const {
  // Written beside its final name, then linked there: link() refuses an
  // existing name, so two replicas saving one id cannot overwrite each other.
  const std::string temporary = dir_ + "/." + id + "." + random_voice_id() + ".tmp";
  if (vclone_voice_save(voice, temporary.c_str()) != 0) {
    const char *message = vclone_get_last_error();
    error = message ? message : "cannot write " + temporary;
    unlink(temporary.c_str());
    return -1;
  }
  const int linked = link(temporary.c_str(), path_of(id).c_str());
  const int link_errno = errno;
  unlink(temporary.c_str());
  if (linked == 0) return 0;
  if (link_errno == EEXIST) return 1;
  error = path_of(id) + ": " + std::strerror(link_errno);
  return -1;
}

bool VoiceStore::remove(const std::string &id) const {
  return is_valid_id(id) && unlink(path_of(id).c_str()) == 0;
}

std::string random_voice_id() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  static const char *digits = "0123456789abcdef";
  std::string id = "voice-";
  uint64_t bits = generator();
  for (int i = 0; i < 12; i++, bits >>= 4) id.push_back(digits[bits & 15]);
  return id;
}
