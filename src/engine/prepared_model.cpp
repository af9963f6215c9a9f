#include "engine/prepared_model.h"

#include "engine/engine.h"
#include "engine/language_codes.h"
#include "engine/vclone_model.h"
#include "models/gpt/decoder_precision.h"
#include "models/gpt/reduced_matrix.h"
#include "util/log.h"
#include "vclone.h"

#include <c10/core/GradMode.h>
#include <torch/types.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr char kMagic[8] = {'V', 'C', 'L', 'O', 'N', 'E', 'P', 'M'};
constexpr uint32_t kFormatVersion = 1;
// A cache line: the widest vector load the kernels make, and what any
// mapping of the file keeps aligned since the file starts on a page.
constexpr uint64_t kAlignment = 64;
constexpr int kMaxDims = 8;

struct FileHeader {
  char magic[8];
  uint32_t format_version;
  uint32_t precision;
  uint32_t tensor_count;
  uint32_t reserved;
  uint64_t table_offset;
  uint64_t table_bytes;
  uint64_t vocabulary_offset;
  uint64_t vocabulary_bytes;
  uint64_t data_offset;
  uint64_t file_bytes;
  uint64_t checksum;  // of the bytes above, the table and the vocabulary
};
static_assert(sizeof(FileHeader) == 80, "the header's layout is part of the format");
constexpr size_t kChecksummedHeaderBytes = offsetof(FileHeader, checksum);

// Element types in the table.
enum class StoredType : uint8_t { kFloat32 = 0, kBFloat16 = 1, kInt8 = 2, kInt64 = 3 };

struct TableEntry {
  std::string name;
  StoredType type = StoredType::kFloat32;
  std::vector<int64_t> shape;
  uint64_t offset = 0;
  uint64_t bytes = 0;
  uint64_t checksum = 0;
};

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

uint64_t fnv1a(const void *data, size_t size, uint64_t hash = kFnvOffset) {
  const auto *bytes = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < size; i++) hash = (hash ^ bytes[i]) * kFnvPrime;
  return hash;
}

// FNV-1a over 64-bit words, then the tail bytes: the tensors are 1.9 GB, and
// a byte at a time would take seconds of the verification.
uint64_t fnv1a_words(const void *data, size_t size) {
  const auto *bytes = static_cast<const unsigned char *>(data);
  uint64_t hash = kFnvOffset;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    hash = (hash ^ word) * kFnvPrime;
  }
  return fnv1a(bytes + i, size - i, hash);
}

uint64_t round_up(uint64_t value, uint64_t block) { return (value + block - 1) / block * block; }

const char *precision_name(uint32_t precision) {
  switch (precision) {
    case VCLONE_PRECISION_F32:
      return "f32";
    case VCLONE_PRECISION_BF16:
      return "bf16";
    case VCLONE_PRECISION_INT8:
      return "int8";
  }
  return "unknown";
}

bool stored_type_of(at::ScalarType type, StoredType *stored) {
  switch (type) {
    case at::kFloat:
      *stored = StoredType::kFloat32;
      return true;
    case at::kBFloat16:
      *stored = StoredType::kBFloat16;
      return true;
    case at::kChar:
      *stored = StoredType::kInt8;
      return true;
    case at::kLong:
      *stored = StoredType::kInt64;
      return true;
    default:
      return false;
  }
}

bool scalar_type_of(uint8_t stored, at::ScalarType *type) {
  switch (static_cast<StoredType>(stored)) {
    case StoredType::kFloat32:
      *type = at::kFloat;
      return true;
    case StoredType::kBFloat16:
      *type = at::kBFloat16;
      return true;
    case StoredType::kInt8:
      *type = at::kChar;
      return true;
    case StoredType::kInt64:
      *type = at::kLong;
      return true;
  }
  return false;
}

std::string shape_text(at::IntArrayRef shape) {
  std::string text = "[";
  for (size_t i = 0; i < shape.size(); i++) text += (i ? "," : "") + std::to_string(shape[i]);
  return text + "]";
}

// ---- The modules' tensors, named as the file names them ----

struct NamedModule {
  const char *name;
  torch::nn::Module *module;
};

std::vector<NamedModule> modules_of(vclone_model &model) {
  return {{"conditioning_encoder", model.conditioning_encoder.get()},
          {"conditioning_perceiver", model.conditioning_perceiver.get()},
          {"gpt_decoder", model.gpt_decoder.get()},
          {"speaker_encoder", model.speaker_encoder.get()},
          {"hifi_decoder", model.hifi_decoder.get()}};
}

// The decoder's projections by the name of their weight: at a reduced
// precision the file holds "<weight>:values" (and for int8 "<weight>:scales")
// in their place.
std::map<std::string, DenseImpl *> dense_weights(GPTDecoderImpl &decoder) {
  std::map<std::string, DenseImpl *> found;
  for (const auto &item : decoder.named_modules("gpt_decoder"))
    if (auto *dense = item.value()->as<DenseImpl>()) found[item.key() + ".weight"] = dense;
  return found;
}

// Every parameter and buffer of the modules, by file name. Reduced
// projection weights are left out (the caller handles them).
void for_each_tensor(vclone_model &model, const std::map<std::string, DenseImpl *> &reduced,
                     const std::function<void(const std::string &, at::Tensor &)> &visit) {
  for (const NamedModule &m : modules_of(model)) {
    for (auto &item : m.module->named_parameters(true)) {
      const std::string name = std::string(m.name) + "." + item.key();
      if (!reduced.count(name)) visit(name, item.value());
    }
    for (auto &item : m.module->named_buffers(true))
      visit(std::string(m.name) + "." + item.key(), item.value());
  }
}

// ---- Writing ----

struct Pending {
  TableEntry entry;
  at::Tensor values;  // contiguous, what is written
};

void put_bytes(std::string &out, const void *data, size_t size) {
  out.append(static_cast<const char *>(data), size);
}
template <class T>
void put(std::string &out, T value) {
  put_bytes(out, &value, sizeof value);
}

std::string encode_table(const std::vector<Pending> &tensors) {
  std::string table;
  for (const Pending &p : tensors) {
    const TableEntry &e = p.entry;
    put<uint16_t>(table, static_cast<uint16_t>(e.name.size()));
    put_bytes(table, e.name.data(), e.name.size());
    put<uint8_t>(table, static_cast<uint8_t>(e.type));
    put<uint8_t>(table, static_cast<uint8_t>(e.shape.size()));
    for (int64_t d : e.shape) put<int64_t>(table, d);
    put<uint64_t>(table, e.offset);
    put<uint64_t>(table, e.bytes);
    put<uint64_t>(table, e.checksum);
  }
  return table;
}

bool add_tensor(std::vector<Pending> &tensors, const std::string &name, const at::Tensor &tensor,
                std::string *error) {
  Pending p;
  p.entry.name = name;
  p.values = tensor.detach().contiguous();
  if (!stored_type_of(p.values.scalar_type(), &p.entry.type)) {
    *error = name + " has a type a prepared model cannot hold";
    return false;
  }
  p.entry.shape = p.values.sizes().vec();
  p.entry.bytes = static_cast<uint64_t>(p.values.numel()) * p.values.element_size();
  p.entry.checksum = fnv1a_words(p.values.data_ptr(), p.entry.bytes);
  tensors.push_back(std::move(p));
  return true;
}

at::Tensor reduced_values(const ReducedMatrix &m) {
  const void *data = m.precision == DecoderPrecision::kBF16
                         ? static_cast<const void *>(m.bf16.data())
                         : static_cast<const void *>(m.int8.data());
  const at::ScalarType type = m.precision == DecoderPrecision::kBF16 ? at::kBFloat16 : at::kChar;
  return torch::from_blob(const_cast<void *>(data), {m.rows, m.stride}, torch::dtype(type));
}

bool collect_tensors(vclone_model &model, std::vector<Pending> &tensors, std::string *error) {
  const auto denses = dense_weights(*model.gpt_decoder);
  std::map<std::string, DenseImpl *> reduced;
  for (const auto &[name, dense] : denses)
    if (dense->reduced) reduced[name] = dense;
  if (model.precision != VCLONE_PRECISION_F32 && reduced.size() != denses.size()) {
    *error = "the decoder is not wholly at the model's precision";
    return false;
  }
  bool ok = add_tensor(tensors, "mel_stats", model.mel_stats, error);
  for_each_tensor(model, reduced, [&](const std::string &name, at::Tensor &tensor) {
    ok = ok && add_tensor(tensors, name, tensor, error);
  });
  for (const auto &[name, dense] : reduced) {
    const ReducedMatrix &m = *dense->reduced;
    ok = ok && add_tensor(tensors, name + ":values", reduced_values(m), error);
    if (m.precision == DecoderPrecision::kInt8)
      ok =
          ok && add_tensor(tensors, name + ":scales",
                           torch::from_blob(const_cast<float *>(m.scales.data()), {m.rows}), error);
  }
  return ok;
}

class File {
 public:
  explicit File(FILE *file) : file_(file) {}
  ~File() {
    if (file_) std::fclose(file_);
  }
  FILE *get() const { return file_; }
  bool close() {
    const bool ok = std::fclose(file_) == 0;
    file_ = nullptr;
    return ok;
  }

 private:
  FILE *file_;
};

bool write_all(FILE *file, const void *data, size_t size) {
  return size == 0 || std::fwrite(data, 1, size, file) == size;
}

bool write_zeros(FILE *file, size_t size) {
  static const char zeros[kAlignment] = {};
  while (size > 0) {
    const size_t chunk = std::min<size_t>(size, sizeof zeros);
    if (!write_all(file, zeros, chunk)) return false;
    size -= chunk;
  }
  return true;
}

bool write_file(const std::string &path, const FileHeader &header, const std::string &table,
                const std::string &vocabulary, const std::vector<Pending> &tensors,
                std::string *error) {
  File file(std::fopen(path.c_str(), "wb"));
  if (!file.get()) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 20);
  uint64_t position = 0;
  auto emit = [&](const void *data, size_t size) {
    position += size;
    return write_all(file.get(), data, size);
  };
  bool ok = emit(&header, sizeof header) && emit(table.data(), table.size()) &&
            emit(vocabulary.data(), vocabulary.size());
  for (const Pending &p : tensors) {
    if (!ok) break;
    ok = write_zeros(file.get(), p.entry.offset - position);
    position = p.entry.offset;
    ok = ok && emit(p.values.data_ptr(), p.entry.bytes);
  }
  ok = ok && write_zeros(file.get(), header.file_bytes - position);
  if (!ok || std::fflush(file.get()) != 0 || fsync(fileno(file.get())) != 0 || !file.close()) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// ---- Reading ----

class Mapping {
 public:
  Mapping(void *base, size_t size) : base_(base), size_(size) {}
  ~Mapping() { munmap(base_, size_); }
  Mapping(const Mapping &) = delete;
  Mapping &operator=(const Mapping &) = delete;
  const unsigned char *bytes() const { return static_cast<const unsigned char *>(base_); }
  size_t size() const { return size_; }

 private:
  void *base_;
  size_t size_;
};

class Reader {
 public:
  Reader(const unsigned char *data, size_t size) : data_(data), size_(size) {}
  template <class T>
  bool get(T *value) {
    if (size_ - position_ < sizeof(T)) return false;
    std::memcpy(value, data_ + position_, sizeof(T));
    position_ += sizeof(T);
    return true;
  }
  bool get_string(size_t length, std::string *text) {
    if (size_ - position_ < length) return false;
    text->assign(reinterpret_cast<const char *>(data_ + position_), length);
    position_ += length;
    return true;
  }
  bool at_end() const { return position_ == size_; }

 private:
  const unsigned char *data_;
  size_t size_;
  size_t position_ = 0;
};

// A prepared file, mapped and its header and table checked.
struct OpenedFile {
  std::shared_ptr<Mapping> mapping;
  FileHeader header{};
  std::vector<TableEntry> table;
  std::string vocabulary;
};

// Checks the entry against the file and fills its byte count check.
bool check_entry(const TableEntry &e, const FileHeader &header, std::string *reason) {
  at::ScalarType type = at::kFloat;
  if (!scalar_type_of(static_cast<uint8_t>(e.type), &type)) {
    *reason = "tensor " + e.name + " has an unknown type";
    return false;
  }
  uint64_t count = 1;
  for (int64_t d : e.shape) {
    if (d < 0 || (d > 0 && count > (UINT64_MAX >> 4) / static_cast<uint64_t>(d))) {
      *reason = "tensor " + e.name + " has a bad shape";
      return false;
    }
    count *= static_cast<uint64_t>(d);
  }
  if (count * c10::elementSize(type) != e.bytes || e.offset % kAlignment != 0 ||
      e.offset < header.data_offset || e.offset > header.file_bytes ||
      e.bytes > header.file_bytes - e.offset) {
    *reason = "tensor " + e.name + " lies outside the data or disagrees with its shape";
    return false;
  }
  return true;
}

bool parse_table(const unsigned char *data, size_t size, const FileHeader &header,
                 std::vector<TableEntry> *table, std::string *reason) {
  Reader reader(data, size);
  std::set<std::string> names;
  for (uint32_t i = 0; i < header.tensor_count; i++) {
    TableEntry e;
    uint16_t name_length;
    uint8_t type, dims;
    if (!reader.get(&name_length) || !reader.get_string(name_length, &e.name) ||
        !reader.get(&type) || !reader.get(&dims) || dims > kMaxDims) {
      *reason = "tensor table entry " + std::to_string(i) + " is malformed";
      return false;
    }
    e.type = static_cast<StoredType>(type);
    e.shape.resize(dims);
    for (int64_t &d : e.shape)
      if (!reader.get(&d)) break;
    if (!reader.get(&e.offset) || !reader.get(&e.bytes) || !reader.get(&e.checksum)) {
      *reason = "tensor table entry " + std::to_string(i) + " is malformed";
      return false;
    }
    if (!check_entry(e, header, reason)) return false;
    if (!names.insert(e.name).second) {
      *reason = "tensor " + e.name + " is listed twice";
      return false;
    }
    table->push_back(std::move(e));
  }
  if (!reader.at_end()) {
    *reason = "the tensor table is longer than its entries";
    return false;
  }
  return true;
}

// Maps path and checks everything but the tensors' own checksums; populate
// reads the whole file in. On failure *reason says why (without the path).
bool open_prepared(const char *path, OpenedFile *opened, std::string *reason, bool populate) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *reason = std::strerror(errno);
    ::close(fd);
    return false;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  if (size < sizeof(FileHeader)) {
    ::close(fd);
    *reason = "truncated: " + std::to_string(size) + " bytes, shorter than a header";
    return false;
  }
  // The header is checked before anything is mapped: a foreign file is not
  // read in whole only to be refused.
  FileHeader &header = opened->header;
  if (pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
    *reason = std::string("cannot read it: ") + std::strerror(errno);
    ::close(fd);
    return false;
  }
  std::string fault;
  if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) {
    fault = "not a prepared model (no VCLONEPM header)";
  } else if (header.format_version != kFormatVersion) {
    fault = "prepared model format version " + std::to_string(header.format_version) +
            "; this library reads version " + std::to_string(kFormatVersion);
  } else if (header.file_bytes != size) {
    fault = (size < header.file_bytes ? "truncated: " : "damaged: ") + std::to_string(size) +
            " bytes, its header says " + std::to_string(header.file_bytes);
  }
  if (!fault.empty()) {
    ::close(fd);
    *reason = fault;
    return false;
  }
  // MAP_POPULATE reads the whole file in at once (sequentially, when it is
  // not in the page cache yet) rather than a page at a time in the first
  // synthesis; shared read-only pages are the page cache's own.
  void *base = mmap(nullptr, size, PROT_READ, MAP_SHARED | (populate ? MAP_POPULATE : 0), fd, 0);
  const int map_errno = errno;
  ::close(fd);
  if (base == MAP_FAILED) {
    *reason = std::string("cannot map it: ") + std::strerror(map_errno);
    return false;
  }
  opened->mapping = std::make_shared<Mapping>(base, size);
  const unsigned char *bytes = opened->mapping->bytes();
  if (header.table_offset != sizeof(FileHeader) ||
      header.table_bytes > size - header.table_offset ||
      header.vocabulary_offset != header.table_offset + header.table_bytes ||
      header.vocabulary_bytes > size - header.vocabulary_offset ||
      header.data_offset < header.vocabulary_offset + header.vocabulary_bytes ||
      header.data_offset > size) {
    *reason = "damaged: its header's layout does not fit the file";
    return false;
  }
  uint64_t checksum = fnv1a(bytes, kChecksummedHeaderBytes);
  checksum = fnv1a(bytes + header.table_offset, header.table_bytes, checksum);
  checksum = fnv1a(bytes + header.vocabulary_offset, header.vocabulary_bytes, checksum);
  if (checksum != header.checksum) {
    *reason = "damaged: the checksum of its header, tensor table and vocabulary does not match";
    return false;
  }
  if (header.precision > VCLONE_PRECISION_INT8) {
    *reason = "unknown precision " + std::to_string(header.precision);
    return false;
  }
  if (!parse_table(bytes + header.table_offset, header.table_bytes, header, &opened->table, reason))
    return false;
  opened->vocabulary.assign(reinterpret_cast<const char *>(bytes + header.vocabulary_offset),
                            header.vocabulary_bytes);
  return true;
}

// Wraps mapped bytes as a tensor that keeps the mapping alive.
at::Tensor mapped_tensor(const std::shared_ptr<Mapping> &mapping, const TableEntry &e) {
  at::ScalarType type = at::kFloat;
  scalar_type_of(static_cast<uint8_t>(e.type), &type);
  // libtorch takes a non-const pointer; nothing writes through it (the
  // pages are read-only: a write would fault, which the tests would show).
  void *data = const_cast<unsigned char *>(mapping->bytes() + e.offset);
  return torch::from_blob(
      data, e.shape, [mapping](void *) {}, torch::dtype(type));
}

class Binder {
 public:
  explicit Binder(const OpenedFile &file) : file_(file) {
    for (const TableEntry &e : file.table) entries_[e.name] = &e;
  }

  // The entry under name with the given type and shape, or null (recorded).
  const TableEntry *find(const std::string &name, at::ScalarType type, at::IntArrayRef shape) {
    auto it = entries_.find(name);
    if (it == entries_.end()) {
      missing_.push_back(name);
      return nullptr;
    }
    const TableEntry *e = it->second;
    used_.insert(name);
    at::ScalarType stored = at::kFloat;
    scalar_type_of(static_cast<uint8_t>(e->type), &stored);
    if (stored != type || at::IntArrayRef(e->shape) != shape) {
      mismatched_.push_back(name + " expected " + shape_text(shape) + " got " +
                            shape_text(e->shape));
      return nullptr;
    }
    return e;
  }

  void bind(const std::string &name, at::Tensor &target) {
    if (const TableEntry *e = find(name, target.scalar_type(), target.sizes()))
      target.set_data(mapped_tensor(file_.mapping, *e));
  }

  void bind_reduced(const std::string &name, DenseImpl &dense, DecoderPrecision precision) {
    const int64_t rows = dense.weight.size(0), cols = dense.weight.size(1);
    const int64_t stride = ReducedMatrix::padded_cols(precision, cols);
    const bool int8 = precision == DecoderPrecision::kInt8;
    const TableEntry *values =
        find(name + ":values", int8 ? at::kChar : at::kBFloat16, {rows, stride});
    const TableEntry *scales = int8 ? find(name + ":scales", at::kFloat, {rows}) : nullptr;
    if (!values || (int8 && !scales)) return;
    const unsigned char *base = file_.mapping->bytes();
    dense.reduced = std::make_shared<ReducedMatrix>(
        precision, rows, cols, base + values->offset,
        scales ? reinterpret_cast<const float *>(base + scales->offset) : nullptr, file_.mapping);
    dense.weight.set_data(torch::empty({0}));
  }

  // "" when every module tensor was found and every file tensor used.
  std::string problems() const {
    std::vector<std::string> unused;
    for (const TableEntry &e : file_.table)
      if (!used_.count(e.name)) unused.push_back(e.name);
    std::string text;
    auto list = [&](const char *what, const std::vector<std::string> &items) {
      if (items.empty()) return;
      text += std::string(text.empty() ? "" : "; ") + what + ": " + items[0];
      if (items.size() > 1) text += " (and " + std::to_string(items.size() - 1) + " more)";
    };
    list("missing", missing_);
    list("shape or type mismatch", mismatched_);
    list("unexpected", unused);
    return text;
  }

 private:
  const OpenedFile &file_;
  std::unordered_map<std::string, const TableEntry *> entries_;
  std::set<std::string> used_;
  std::vector<std::string> missing_, mismatched_;
};

bool bind_all(const OpenedFile &file, vclone_model &model, std::string *reason) {
  c10::NoGradGuard no_grad;
  Binder binder(file);
  model.mel_stats = torch::empty({80});
  binder.bind("mel_stats", model.mel_stats);
  const auto denses = dense_weights(*model.gpt_decoder);
  std::map<std::string, DenseImpl *> reduced;
  if (file.header.precision != VCLONE_PRECISION_F32) reduced = denses;
  for_each_tensor(model, reduced,
                  [&](const std::string &name, at::Tensor &tensor) { binder.bind(name, tensor); });
  const DecoderPrecision precision = file.header.precision == VCLONE_PRECISION_BF16
                                         ? DecoderPrecision::kBF16
                                         : DecoderPrecision::kInt8;
  for (const auto &[name, dense] : reduced) binder.bind_reduced(name, *dense, precision);
  *reason = binder.problems();
  return reason->empty();
}

}  // namespace

bool is_prepared_model(const char *path) {
  if (!path) return false;
  FILE *file = std::fopen(path, "rb");
  if (!file) return false;
  char magic[sizeof kMagic];
  const bool match = std::fread(magic, 1, sizeof magic, file) == sizeof magic &&
                     std::memcmp(magic, kMagic, sizeof kMagic) == 0;
  std::fclose(file);
  return match;
}

bool write_prepared_model(vclone_model &model, const std::string &vocabulary_text,
                          const std::string &out_path, std::string *error) {
  std::vector<Pending> tensors;
  std::string reason;
  if (!collect_tensors(model, tensors, &reason)) {
    *error = out_path + ": " + reason;
    return false;
  }
  FileHeader header{};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.format_version = kFormatVersion;
  header.precision = static_cast<uint32_t>(model.precision);
  header.tensor_count = static_cast<uint32_t>(tensors.size());
  header.table_offset = sizeof(FileHeader);
  header.table_bytes = encode_table(tensors).size();  // offsets do not change its size
  header.vocabulary_offset = header.table_offset + header.table_bytes;
  header.vocabulary_bytes = vocabulary_text.size();
  header.data_offset = round_up(header.vocabulary_offset + header.vocabulary_bytes, kAlignment);
  uint64_t position = header.data_offset;
  for (Pending &p : tensors) {
    p.entry.offset = position;
    position = round_up(position + p.entry.bytes, kAlignment);
  }
  header.file_bytes = position;
  const std::string table = encode_table(tensors);
  uint64_t checksum = fnv1a(&header, kChecksummedHeaderBytes);
  checksum = fnv1a(table.data(), table.size(), checksum);
  header.checksum = fnv1a(vocabulary_text.data(), vocabulary_text.size(), checksum);

  const std::string temporary = out_path + ".partial-" + std::to_string(getpid());
  if (!write_file(temporary, header, table, vocabulary_text, tensors, error)) {
    std::remove(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), out_path.c_str()) != 0) {
    *error = out_path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  log_line(kLogInfo, "[vclone] Prepared %s: %u tensors, %s, %.1f MB", out_path.c_str(),
           header.tensor_count, precision_name(header.precision), header.file_bytes / 1e6);
  return true;
}

bool load_prepared_model(const char *path, const char *vocab_path, int requested_precision,
                         vclone_model &model, const ModuleConstructor &construct) {
  log_line(kLogInfo, "[vclone] Mapping prepared model %s...", path);
  OpenedFile file;
  std::string reason;
  if (!open_prepared(path, &file, &reason, /*populate=*/true)) {
    set_last_error("Loading failed: %s: %s", path, reason.c_str());
    return false;
  }
  const int precision = static_cast<int>(file.header.precision);
  if (requested_precision != VCLONE_PRECISION_F32 && requested_precision != precision) {
    set_last_error("Loading failed: %s was prepared for %s, not %s; prepare one for %s", path,
                   precision_name(precision), precision_name(requested_precision),
                   precision_name(requested_precision));
    return false;
  }
  model.precision = precision;
  std::string error;
  const int vocabulary_status =
      vocab_path ? load_vocabulary(&model.tokenizer, vocab_path, &error)
                 : load_vocabulary_text(&model.tokenizer, file.vocabulary, path, &error);
  if (vocabulary_status != 0) {
    set_last_error("Failed to load tokenizer: %s", error.c_str());
    return false;
  }
  model.languages = language_codes(model.tokenizer);
  // Construction leaves the modules' values unwritten; binding gives every
  // one of them its mapped values, or refuses the file.
  construct(model);
  if (!bind_all(file, model, &reason)) {
    set_last_error("Loading failed: %s does not fit this library's model: %s", path,
                   reason.c_str());
    return false;
  }
  // The vocoder's bf16 weights are converted copies; the mapped float32
  // ones stay as they are.
  if (precision != VCLONE_PRECISION_F32 && vocoder_bf16_supported())
    set_vocoder_bf16(*model.hifi_decoder, true);
  log_line(kLogInfo, "[vclone] Prepared model: %u tensors mapped, decoder in %s",
           file.header.tensor_count, precision_name(precision));
  return true;
}

bool verify_prepared_model(const char *path, std::string *report) {
  OpenedFile file;
  std::string reason;
  if (!open_prepared(path, &file, &reason, /*populate=*/true)) {
    *report = std::string(path) + ": " + reason;
    return false;
  }
  const unsigned char *bytes = file.mapping->bytes();
  // Every byte between the vocabulary and the end is a tensor's or padding.
  std::vector<const TableEntry *> by_offset;
  for (const TableEntry &e : file.table) by_offset.push_back(&e);
  std::sort(by_offset.begin(), by_offset.end(),
            [](const TableEntry *a, const TableEntry *b) { return a->offset < b->offset; });
  uint64_t position = file.header.vocabulary_offset + file.header.vocabulary_bytes;
  auto padding_is_zero = [&](uint64_t end) {
    for (; position < end; position++)
      if (bytes[position] != 0) return false;
    return true;
  };
  for (const TableEntry *e : by_offset) {
    if (e->offset < position) {
      *report = std::string(path) + ": damaged: tensor " + e->name + " overlaps another";
      return false;
    }
    if (!padding_is_zero(e->offset)) {
      *report = std::string(path) + ": damaged: non-zero padding before tensor " + e->name;
      return false;
    }
    if (fnv1a_words(bytes + e->offset, e->bytes) != e->checksum) {
      *report = std::string(path) + ": damaged: tensor " + e->name + " does not match its checksum";
      return false;
    }
    position = e->offset + e->bytes;
  }
  if (!padding_is_zero(file.header.file_bytes)) {
    *report = std::string(path) + ": damaged: non-zero padding after the last tensor";
    return false;
  }
  char line[256];
  std::snprintf(line, sizeof line, "%s: sound: format version %u, %s, %u tensors, %llu bytes", path,
                file.header.format_version, precision_name(file.header.precision),
                file.header.tensor_count, static_cast<unsigned long long>(file.header.file_bytes));
  *report = line;
  return true;
}

bool read_prepared_vocabulary(const char *path, std::string *text, std::string *error) {
  OpenedFile file;
  std::string reason;
  if (!open_prepared(path, &file, &reason, /*populate=*/false)) {
    *error = std::string(path) + ": " + reason;
    return false;
  }
  *text = file.vocabulary;
  return true;
}

int read_vocabulary(BpeTokenizer *tokenizer, const char *path, std::string *error) {
  if (!is_prepared_model(path)) return load_vocabulary(tokenizer, path, error);
  std::string text;
  if (!read_prepared_vocabulary(path, &text, error)) return -1;
  return load_vocabulary_text(tokenizer, text, path, error);
}
