// Bodies of the fuzz targets. The libFuzzer programs call them with generated
// inputs; test_fuzz_replay calls them with every committed input, so a crash
// once found stays covered in the normal and the sanitizer builds.
//
// A body returns normally for any input. A broken invariant aborts with a
// "[fuzz]" line, which the fuzzer reports as a crash like any other.
#pragma once

#include "fuzz/fuzz_check.h"
#include "archive/manifest.h"
#include "audio/wav_io.h"
#include "tokenizer/bpe_tokenizer.h"
#include "vclone.h"

#include <caffe2/serialize/inline_container.h>
#include <torch/types.h>
#include <utf8proc.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace fuzz {

// A file that holds the current input, rewritten for each one. It lives in
// memory; the readers open it again by its /proc path as they would any file.
class InputFile {
 public:
  InputFile() {
    fd_ = memfd_create("vclone-fuzz", 0);
    check(fd_ >= 0, "memfd_create");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~InputFile() { close(fd_); }
  InputFile(const InputFile &) = delete;
  InputFile &operator=(const InputFile &) = delete;

  const std::string &write(const void *data, size_t size) {
    check(ftruncate(fd_, 0) == 0, "ftruncate");
    const char *bytes = static_cast<const char *>(data);
    for (size_t done = 0; done < size;) {
      ssize_t n = pwrite(fd_, bytes + done, size - done, static_cast<off_t>(done));
      check(n > 0, "pwrite");
      done += static_cast<size_t>(n);
    }
    return path_;
  }
  const std::string &path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// ---- Reference audio reader -----------------------------------------------

// The engine's longest reference.
constexpr double kMaxReferenceSeconds = 600;
// Larger results are not written back: a tiny compressed input may decode to
// minutes, and the round trip would only repeat the write path at length.
constexpr int32_t kMaxRoundTripSamples = 1 << 20;

inline void check_audio(const WavData &wav, const std::string &error) {
  check(wav.samples != nullptr, "read_audio_file success without samples");
  check(error.empty(), "read_audio_file success with an error message");
  check(wav.total_samples > 0 && wav.frames > 0, "read_audio_file success without samples");
  check(wav.sample_rate > 0, "sample rate not positive");
  check(wav.channels > 0, "channel count not positive");
  check(static_cast<int64_t>(wav.frames) * wav.channels == wav.total_samples,
        "total_samples is not frames * channels");
  check(wav.frames <= kMaxReferenceSeconds * wav.sample_rate, "longer than the limit");
  for (int32_t i = 0; i < wav.total_samples; i++)
    check(std::isfinite(wav.samples[i]), "sample not finite");
}

// Reads the bytes as a reference recording in any format libsndfile knows;
// what reads is written back as WAV and read again.
inline void wav(const uint8_t *data, size_t size) {
  static InputFile input;
  static InputFile output;
  WavData wav;
  std::string error;
  if (read_audio_file(input.write(data, size).c_str(), &wav, kMaxReferenceSeconds, &error) != 0) {
    check(wav.samples == nullptr, "failed read_audio_file left samples");
    check(!error.empty(), "failed read_audio_file gave no reason");
    return;
  }
  check_audio(wav, error);

  if (wav.total_samples <= kMaxRoundTripSamples) {
    output.write("", 0);
    check(write_wav(output.path().c_str(), &wav, &error) == 0, "write_wav refused what was read");
    WavData again;
    check(read_audio_file(output.path().c_str(), &again, 0, &error) == 0,
          "read_audio_file refused what write_wav wrote");
    check(again.total_samples == wav.total_samples, "round trip changed the sample count");
    check(again.sample_rate == wav.sample_rate, "round trip changed the sample rate");
    check(again.channels == wav.channels, "round trip changed channels");
    free_wav(&again);
  }
  free_wav(&wav);
  check(wav.samples == nullptr && wav.total_samples == 0, "free_wav left the record set");
}

// ---- Weight archive ---------------------------------------------------------

// Loads every entry; whatever loads must match its entry exactly.
inline void load_every_tensor(TensorManifest *manifest) {
  check(manifest_count(manifest) == static_cast<int>(manifest->entries.size()),
        "manifest_count differs from the entry count");
  std::vector<std::string> names;
  for (const auto &[name, entry] : manifest->entries) names.push_back(name);
  for (const std::string &name : names) {
    at::Tensor tensor = load_tensor(manifest, name);
    if (!tensor.defined()) continue;
    const ManifestEntry &entry = manifest->entries.at(name);
    check(tensor.scalar_type() == torch::kFloat32, "tensor is not float32");
    check(tensor.is_contiguous(), "tensor is not contiguous");
    check(tensor.numel() == entry.numel, "tensor numel differs from the entry");
    check(tensor.sizes().vec() == entry.shape || (entry.shape.empty() && tensor.dim() == 0),
          "tensor shape differs from the entry");
    // Reading every value lets the sanitizer see the whole copy.
    const float *values = tensor.data_ptr<float>();
    float sum = 0;
    for (int64_t i = 0; i < tensor.numel(); i++) sum += values[i];
    (void)sum;
  }
  // The fuzzer finds this name in the program and may well write it.
  const std::string absent = "\x01 not an entry";
  if (manifest->entries.count(absent) == 0)
    check(!load_tensor(manifest, absent).defined(), "absent name loaded");
}

// The bytes as a whole archive file.
inline void archive(const uint8_t *data, size_t size) {
  static InputFile input;
  TensorManifest *manifest = open_manifest(input.write(data, size).c_str());
  if (!manifest) return;
  load_every_tensor(manifest);
  manifest_close(manifest);
}

// The bytes as manifest text: scanned directly, then as the manifest of a
// well-formed archive whose data records every entry may point into.
inline void manifest_text(const uint8_t *data, size_t size) {
  static InputFile input;
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::unordered_map<std::string, ManifestEntry> entries;
  std::string error;
  const bool parsed = parse_manifest(text, entries, &error);
  check(parsed == error.empty(), "parse_manifest's result and message disagree");

  std::string bytes;
  {
    caffe2::serialize::PyTorchStreamWriter writer([&bytes](const void *buffer, size_t n) {
      bytes.append(static_cast<const char *>(buffer), n);
      return n;
    });
    std::vector<float> counting(64);
    for (size_t i = 0; i < counting.size(); i++) counting[i] = static_cast<float>(i);
    const float one = 1.0f;
    writer.writeRecord("manifest.json", text.data(), text.size());
    writer.writeRecord("data/0", counting.data(), sizeof(float) * counting.size());
    writer.writeRecord("data/1", &one, sizeof one);
    writer.writeRecord("data/odd", "abcdefg", 7);
    writer.writeRecord("data/empty", "", 0);
    writer.writeEndOfFile();
  }
  TensorManifest *manifest = open_manifest(input.write(bytes.data(), bytes.size()).c_str());
  if (!manifest) return;
  load_every_tensor(manifest);
  manifest_close(manifest);
}

// ---- Tokenizer --------------------------------------------------------------

inline bool valid_utf8(const std::string &text) {
  const auto *bytes = reinterpret_cast<const utf8proc_uint8_t *>(text.data());
  for (size_t i = 0; i < text.size();) {
    utf8proc_int32_t cp;
    utf8proc_ssize_t length = utf8proc_iterate(bytes + i, text.size() - i, &cp);
    if (length <= 0) return false;
    i += static_cast<size_t>(length);
  }
  return true;
}

inline const char *const kTexts[] = {
    "Hello world.",
    "",
    "   ",
    "[en][SPACE]] [unknown tag",
    "Grüße, 世界! \xf0\x9f\x8e\xb5",
    "\xff\xfe\xc3 broken \xe2\x82 utf-8 \x80",
};

inline void encode_texts(const BpeTokenizer &tokenizer) {
  for (const char *text : kTexts)
    for (const char *language : {"en", "zh", ""})
      check(!encode(tokenizer, text, language).empty(), "encode gave no ids");
}

// The bytes as a vocabulary file; a vocabulary that loads encodes a few texts.
inline void vocabulary(const uint8_t *data, size_t size) {
  static InputFile input;
  BpeTokenizer tokenizer;
  std::string error;
  if (load_vocabulary(&tokenizer, input.write(data, size).c_str(), &error) != 0) {
    check(!error.empty(), "a failed load gave no reason");
    check(tokenizer.vocab.empty() && tokenizer.merges.empty(), "a failed load left tables");
    return;
  }
  check(!tokenizer.vocab.empty(), "a vocabulary loaded empty");
  check(tokenizer.merge_ranks.size() <= tokenizer.merges.size(), "more ranks than merges");
  encode_texts(tokenizer);
  clear_tokenizer(&tokenizer);
}

// A small fixed vocabulary with multi-byte pieces and chained merges.
inline const BpeTokenizer &small_tokenizer() {
  static const BpeTokenizer tokenizer = [] {
    BpeTokenizer t;
    const char *pieces[] = {"[en]", "[SPACE]",  "[zh-cn]",      "[STOP]", "h", "e", "l", "o",
                            "he",   "ll",       "hell",         "hello",  "[", "]", "a", "aa",
                            "aaaa", "\xc3\xbc", "\xc3\xbc\x62", "b"};
    int32_t id = 2;
    for (const char *piece : pieces) t.vocab[piece] = id++;
    t.merges = {{"h", "e"}, {"l", "l"},   {"he", "ll"},      {"hell", "o"},
                {"a", "a"}, {"aa", "aa"}, {"\xc3\xbc", "b"}, {"[", "en"}};
    for (size_t r = 0; r < t.merges.size(); r++)
      t.merge_ranks[t.merges[r].first + " " + t.merges[r].second] = static_cast<int32_t>(r);
    return t;
  }();
  return tokenizer;
}

// The bytes as a request text (and, before a first zero byte, its language).
inline void encode_text(const uint8_t *data, size_t size) {
  const BpeTokenizer &tokenizer = small_tokenizer();
  std::string text(reinterpret_cast<const char *>(data), size);
  std::string language = "en";
  size_t zero = text.find('\0');
  if (zero != std::string::npos && zero <= 16) {
    language = text.substr(0, zero);
    text.erase(0, zero + 1);
  }

  std::unordered_set<int32_t> known = {1};
  for (const auto &[piece, id] : tokenizer.vocab) known.insert(id);
  std::vector<int32_t> ids = encode(tokenizer, text, language);
  check(!ids.empty(), "encode gave no ids");
  for (int32_t id : ids) check(known.count(id) == 1, "id outside the vocabulary");

  const std::string normal = normalize_text(text);
  check(normalize_text(normal) == normal, "normalize_text is not idempotent");
  check(valid_utf8(normal), "normalized text is not valid UTF-8");
  const std::string shown = printable_text(text);
  for (char c : shown) check(c != '\n' && c != '\r', "a line break in a log line");
  check(normal.empty() || (normal.front() != ' ' && normal.back() != ' '), "untrimmed text");
  check(normal.find("  ") == std::string::npos, "uncollapsed white space");

  std::string joined;
  for (const std::string &piece : bpe_split(tokenizer, text)) {
    check(!piece.empty(), "empty piece");
    joined += piece;
  }
  check(joined == text, "pieces do not join into the segment");
}

}  // namespace fuzz
