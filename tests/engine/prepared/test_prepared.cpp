// Prepared models on the full-size random model: each precision prepared,
// verified, mapped without copies and speaking the archive's seeded samples;
// damaged, truncated and foreign files refused with their reason. The random
// model never draws the stop code, so a small max_codes keeps each call short.
#include "engine/initial_values.h"
#include "engine/vclone_model.h"
#include "models/gpt/reduced_matrix.h"
#include "support/full_model.h"
#include "vclone.h"

#include <gtest/gtest.h>
#include <torch/nn/init.h>
#include <torch/types.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string last_error() {
  const char *message = vclone_get_last_error();
  return message ? message : "";
}

struct Files {
  fixture::TempDir dir;
  std::string model, vocab, reference;
};

Files &files() {
  static Files *shared = [] {
    auto *f = new Files;
    const std::string model_dir = fixture::full_model_dir(f->dir.file("m"));
    f->model = model_dir + "/model.pt";
    f->vocab = model_dir + "/vocab.json";
    f->reference = f->dir.file("voice.wav");
    fixture::write_reference(f->reference, 22050, 1, 3.0);
    return f;
  }();
  return *shared;
}

// Seeded samples of a short text, the voice made by the same model.
std::vector<float> speak(vclone_model *model) {
  vclone_voice *voice = vclone_voice_from_wav(model, files().reference.c_str());
  EXPECT_NE(voice, nullptr) << last_error();
  if (!voice) return {};
  vclone_options options = vclone_default_options();
  options.max_codes = 24;
  options.seed = 11;
  int32_t n = 0;
  float *samples = vclone_speak(model, "Mapped weights speak alike.", "en", voice, &options, &n);
  EXPECT_NE(samples, nullptr) << last_error();
  std::vector<float> result;
  if (samples) result.assign(samples, samples + n);
  std::free(samples);
  vclone_voice_free(voice);
  return result;
}

// Whether address lies in a mapping of path (per /proc/self/maps).
bool mapped_from(const void *address, const std::string &path) {
  std::ifstream maps("/proc/self/maps");
  const auto value = reinterpret_cast<uintptr_t>(address);
  for (std::string line; std::getline(maps, line);) {
    uintptr_t begin = 0, end = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx", &begin, &end) != 2) continue;
    if (value >= begin && value < end)
      return line.size() >= path.size() &&
             line.compare(line.size() - path.size(), path.size(), path) == 0;
  }
  return false;
}

vclone_model *load(const std::string &path, const char *vocab, int32_t precision) {
  vclone_load_options options = vclone_default_load_options();
  options.precision = precision;
  return vclone_model_load(path.c_str(), vocab, &options);
}

std::string read_bytes(const std::string &path, size_t count) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(count, '\0');
  in.read(&bytes[0], static_cast<std::streamsize>(count));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

void write_bytes(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

void flip_bit(const std::string &path, uint64_t offset) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  char byte = 0;
  file.read(&byte, 1);
  byte ^= 0x10;
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(&byte, 1);
}

uint64_t header_field(const std::string &path, size_t offset) {
  const std::string bytes = read_bytes(path, offset + 8);
  uint64_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// Byte offsets of the header's fields.
constexpr size_t kVersionField = 8;
constexpr size_t kTableOffsetField = 24;
constexpr size_t kDataOffsetField = 56;

void expect_load_refused(const std::string &path, const std::string &reason) {
  vclone_model *model = vclone_model_load(path.c_str(), nullptr, nullptr);
  EXPECT_EQ(model, nullptr);
  vclone_model_free(model);
  EXPECT_NE(last_error().find(path), std::string::npos) << last_error();
  EXPECT_NE(last_error().find(reason), std::string::npos) << last_error();
}

TEST(PreparedModel, SpeaksAsItsArchiveAtEachPrecisionFromMappedWeights) {
  for (int32_t precision : {VCLONE_PRECISION_F32, VCLONE_PRECISION_BF16, VCLONE_PRECISION_INT8}) {
    SCOPED_TRACE("precision " + std::to_string(precision));
    const std::string prepared = files().dir.file("model-" + std::to_string(precision) + ".bin");
    ASSERT_EQ(vclone_model_prepare(files().model.c_str(), files().vocab.c_str(), precision,
                                   prepared.c_str()),
              0)
        << last_error();
    EXPECT_EQ(vclone_model_verify(prepared.c_str()), 0) << last_error();

    vclone_model *archive = load(files().model, files().vocab.c_str(), precision);
    ASSERT_NE(archive, nullptr) << last_error();
    const std::vector<float> expected = speak(archive);
    const std::string languages = vclone_model_languages(archive);
    vclone_model_free(archive);

    // Loaded by its header, whatever its name, with the vocabulary it embeds.
    vclone_model *model = load(prepared, nullptr, VCLONE_PRECISION_F32);
    ASSERT_NE(model, nullptr) << last_error();
    EXPECT_EQ(model->precision, precision);
    EXPECT_EQ(vclone_model_languages(model), languages);
    // The weights are the file's pages, not copies.
    const DenseImpl &projection = *model->gpt_decoder->gpt[3]->as<GPT2LayerImpl>()->c_fc;
    const void *weights = precision == VCLONE_PRECISION_F32 ? projection.weight.data_ptr()
                          : precision == VCLONE_PRECISION_BF16
                              ? static_cast<const void *>(projection.reduced->bf16.data())
                              : static_cast<const void *>(projection.reduced->int8.data());
    EXPECT_TRUE(mapped_from(weights, prepared));
    EXPECT_TRUE(mapped_from(model->conditioning_encoder->parameters()[0].data_ptr(), prepared));
    EXPECT_TRUE(mapped_from(model->mel_stats.data_ptr(), prepared));

    const std::vector<float> samples = speak(model);
    ASSERT_EQ(samples.size(), expected.size());
    ASSERT_FALSE(samples.empty());
    double largest = 0;
    for (size_t i = 0; i < samples.size(); i++) {
      ASSERT_TRUE(std::isfinite(samples[i]));
      largest = std::max(largest, static_cast<double>(std::fabs(samples[i] - expected[i])));
    }
    EXPECT_LE(largest, 1e-6);
    vclone_model_free(model);

    // A prepared model keeps its precision; asking for another is refused.
    if (precision != VCLONE_PRECISION_F32) {
      const int32_t other =
          precision == VCLONE_PRECISION_BF16 ? VCLONE_PRECISION_INT8 : VCLONE_PRECISION_BF16;
      EXPECT_EQ(load(prepared, nullptr, other), nullptr);
      EXPECT_NE(last_error().find("was prepared for"), std::string::npos) << last_error();
    }
    std::remove(prepared.c_str());
  }
}

TEST(PreparedModel, RefusesDamagedTruncatedAndForeignFiles) {
  const std::string prepared = files().dir.file("int8.vcm");
  ASSERT_EQ(vclone_model_prepare(files().model.c_str(), files().vocab.c_str(),
                                 VCLONE_PRECISION_INT8, prepared.c_str()),
            0)
      << last_error();
  const std::string head = read_bytes(prepared, 1 << 20);

  struct Case {
    const char *name;
    std::string bytes;
    const char *reason;
  };
  std::string newer = head;
  newer[kVersionField] = 2;
  std::vector<Case> cases = {
      {"truncated", head, "truncated: 1048576 bytes"},
      {"header only", head.substr(0, 40), "shorter than a header"},
      {"newer", newer, "format version 2"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = files().dir.file(std::string(c.name) + ".vcm");
    write_bytes(path, c.bytes);
    expect_load_refused(path, c.reason);
    EXPECT_EQ(vclone_model_verify(path.c_str()), -1);
    EXPECT_NE(last_error().find(c.reason), std::string::npos) << last_error();
  }

  // Foreign files: without a vocabulary they are taken for archives and
  // refused as such; verification says they are not prepared models.
  for (const std::string &foreign : {files().vocab, files().model}) {
    expect_load_refused(foreign, "not a prepared model");
    EXPECT_EQ(vclone_model_verify(foreign.c_str()), -1);
    EXPECT_NE(last_error().find("not a prepared model"), std::string::npos) << last_error();
  }

  // A flipped bit in the tensor table fails the load; in a tensor's data,
  // which a load does not read through, it fails the verification, which
  // names the tensor. Each bit is flipped back afterwards.
  const uint64_t table_bit = header_field(prepared, kTableOffsetField) + 10;
  flip_bit(prepared, table_bit);
  expect_load_refused(prepared, "checksum of its header, tensor table");
  flip_bit(prepared, table_bit);

  const uint64_t data_bit = header_field(prepared, kDataOffsetField) + 100;
  flip_bit(prepared, data_bit);
  EXPECT_EQ(vclone_model_verify(prepared.c_str()), -1);
  EXPECT_NE(last_error().find("does not match its checksum"), std::string::npos) << last_error();
  EXPECT_NE(last_error().find("tensor "), std::string::npos) << last_error();
  flip_bit(prepared, data_bit);
  EXPECT_EQ(vclone_model_verify(prepared.c_str()), 0) << last_error();

  // Preparing from a prepared model is refused.
  EXPECT_EQ(vclone_model_prepare(prepared.c_str(), files().vocab.c_str(), VCLONE_PRECISION_INT8,
                                 files().dir.file("again.vcm").c_str()),
            -1);
  EXPECT_NE(last_error().find("prepared model already"), std::string::npos) << last_error();
  std::remove(prepared.c_str());
}

// Loading builds its modules under SkipInitialValues: the initialisers must
// leave their tensors alone, on this thread only and only while it lives,
// and every other operator must run as usual.
TEST(SkipInitialValues, LeavesInitialisersUnwrittenOnItsThreadWhileItLives) {
  const at::Tensor three = torch::full({8}, 3.0f);
  at::Tensor t = three.clone(), sum, other_thread = torch::zeros({8});
  {
    SkipInitialValues skip;
    t.uniform_();
    t.normal_();
    t.fill_(1.0f);
    t.zero_();
    torch::nn::init::kaiming_uniform_(t.view({2, 4}));
    sum = t + 1;
    std::thread([&other_thread] { other_thread.fill_(5.0f); }).join();
  }
  EXPECT_TRUE(torch::equal(t, three));
  EXPECT_TRUE(torch::equal(sum, torch::full({8}, 4.0f)));
  EXPECT_TRUE(torch::equal(other_thread, torch::full({8}, 5.0f)));
  t.zero_();
  EXPECT_TRUE(torch::equal(t, torch::zeros({8})));
}

}  // namespace
