#include "serve/catalog.h"

#include <nlohmann/json.hpp>

#include <algorithm>

using nlohmann::json;

const std::vector<std::string> &builtin_voice_names() {
  static const std::vector<std::string> names = {"alloy", "ash",   "ballad", "coral", "echo",
                                                 "fable", "onyx",  "nova",   "sage",  "shimmer",
                                                 "verse", "marin", "cedar"};
  return names;
}

bool is_builtin_voice_name(const std::string &name) {
  const auto &names = builtin_voice_names();
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string served_model_id(const std::string &precision) { return "vclone-" + precision; }

std::string models_json(const std::string &precision, long long created) {
  json model = {{"id", served_model_id(precision)},
                {"object", "model"},
                {"created", created},
                {"owned_by", "vclone"}};
  return json({{"object", "list"}, {"data", json::array({model})}}).dump();
}

std::string audio_voices_json(const std::vector<VoiceEntry> &voices,
                              const std::vector<std::string> &languages,
                              const std::string &default_voice) {
  json list = json::array();
  bool default_exists = false;
  for (const VoiceEntry &voice : voices) {
    list.push_back({{"id", voice.id},
                    {"name", voice.id},
                    {"languages", languages},
                    {"created", voice.created}});
    default_exists = default_exists || voice.id == default_voice;
  }
  if (default_exists)
    for (const std::string &name : builtin_voice_names())
      if (std::none_of(voices.begin(), voices.end(),
                       [&](const VoiceEntry &v) { return v.id == name; }))
        list.push_back(
            {{"id", name}, {"name", name}, {"languages", languages}, {"alias_of", default_voice}});
  return json({{"object", "list"}, {"voices", list}}).dump();
}
