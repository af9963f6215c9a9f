// What OpenAI-style clients list before they speak: the models
// (GET /v1/models) and the voices (GET /v1/audio/voices), and the API's
// built-in voice names, which this server answers with --default-voice.
#pragma once

#include "serve/voice_store.h"

#include <string>
#include <vector>

// alloy, ash, ballad, coral, echo, fable, onyx, nova, sage, shimmer, verse, marin, cedar.
const std::vector<std::string> &builtin_voice_names();
bool is_builtin_voice_name(const std::string &name);

// The model this server serves: "vclone-" and the precision (vclone-f32).
std::string served_model_id(const std::string &precision);

// {"object": "list", "data": [{"id", "object": "model", "created", "owned_by"}]}.
std::string models_json(const std::string &precision, long long created);

// {"object": "list", "voices": [{"id", "name", "languages", "created"}]}: the
// voices of the folder, and the built-in names when default_voice is set
// (with "alias_of"). A cloned voice speaks every language of the model.
std::string audio_voices_json(const std::vector<VoiceEntry> &voices,
                              const std::vector<std::string> &languages,
                              const std::string &default_voice);
