// The audio formats the command-line program and the server hand out, by the
// names clients use. Free of any codec, so that the request parsers build
// without them.
#pragma once

#include <string>

enum class AudioFormat { kWav, kPcm, kMp3, kOpus, kFlac, kAac };

// The name clients use ("wav", "pcm", "mp3", "opus", "flac", "aac").
const char *audio_format_name(AudioFormat format);
// False for a name that is not one of the above.
bool audio_format_from_name(const std::string &name, AudioFormat &format);
// The format a file name's extension says (.wav .pcm .raw .mp3 .opus .ogg
// .flac .aac), or false.
bool audio_format_from_path(const std::string &path, AudioFormat &format);
// The HTTP Content-Type of the format.
const char *audio_format_mime(AudioFormat format);
// "wav, pcm, mp3, opus, flac, aac": for messages.
std::string audio_format_list();
