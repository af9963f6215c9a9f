// A 16-bit mono PCM WAV writer for programs on the public header: a whole
// file, or a stream whose header leaves the length unknown (0xFFFFFFFF, as
// players of piped WAV expect) and whose samples follow as they are made.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace wav_stream {

constexpr uint32_t kUnknownLength = 0xFFFFFFFFu;

inline void put_u32(std::string &out, uint32_t v) {
  for (int i = 0; i < 4; i++) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void put_u16(std::string &out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

// The 44-byte header of a mono 16-bit file; data_bytes kUnknownLength for a stream.
inline std::string header(int32_t sample_rate, uint32_t data_bytes) {
  std::string h;
  h += "RIFF";
  put_u32(h, data_bytes == kUnknownLength ? kUnknownLength : 36 + data_bytes);
  h += "WAVEfmt ";
  put_u32(h, 16);
  put_u16(h, 1);  // PCM
  put_u16(h, 1);  // mono
  put_u32(h, static_cast<uint32_t>(sample_rate));
  put_u32(h, static_cast<uint32_t>(sample_rate) * 2);
  put_u16(h, 2);
  put_u16(h, 16);
  h += "data";
  put_u32(h, data_bytes);
  return h;
}

// Samples as little-endian 16-bit PCM: clamped to [-1, 1], scaled by 32767 and
// truncated, NaN as 0.
inline std::string pcm16(const float *samples, size_t count) {
  std::string out(count * 2, '\0');
  for (size_t i = 0; i < count; i++) {
    float x = samples[i];
    if (std::isnan(x)) x = 0.0f;
    x = std::min(1.0f, std::max(-1.0f, x));
    const auto v = static_cast<int16_t>(x * 32767.0f);  // as the library's WAV writer
    out[2 * i] = static_cast<char>(v & 0xFF);
    out[2 * i + 1] = static_cast<char>((static_cast<uint16_t>(v) >> 8) & 0xFF);
  }
  return out;
}

// A whole file in memory.
inline std::string file_bytes(const float *samples, size_t count, int32_t sample_rate) {
  return header(sample_rate, static_cast<uint32_t>(count * 2)) + pcm16(samples, count);
}

}  // namespace wav_stream
