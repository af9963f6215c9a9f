// A prepared model: one file holding every tensor of a loaded model in the
// layout the kernels read (the decoder's projections [out, in], or already
// in bf16 or int8 with their row scales), the vocabulary and the precision.
// Loading maps it read-only and wraps its tensors without copying them, so
// processes that load the same file share its pages.
//
// Layout, little-endian:
//   header   80 bytes: magic "VCLONEPM", format version, precision, tensor
//            count, where the table, vocabulary and data lie, the file's
//            size, and an FNV-1a 64 checksum of the header, table and
//            vocabulary
//   table    per tensor: name, type, shape, offset, length, and an FNV-1a 64
//            checksum of its bytes (read by a verification, not by a load)
//   vocabulary JSON text
//   data     each tensor at a multiple of 64 bytes; padding is zeros
#pragma once

#include <functional>
#include <string>

struct BpeTokenizer;
struct vclone_model;

// Whether the file starts with a prepared model's magic. False when it
// cannot be read.
bool is_prepared_model(const char *path);

// Writes model, every module bound, the decoder at model.precision and the
// vocoder in float32, with vocabulary_text, to out_path (written under a
// temporary name and renamed, so a failure leaves no partial file). False
// with the reason, naming the file, in *error.
bool write_prepared_model(vclone_model &model, const std::string &vocabulary_text,
                          const std::string &out_path, std::string *error);

// Builds the model's modules, without initial values.
using ModuleConstructor = std::function<void(vclone_model &)>;

// Fills model from a prepared file: its vocabulary (from vocab_path when one
// is given, else the embedded one), its precision, mel_stats, and the modules
// made by construct with every parameter and buffer mapped from the file.
// requested_precision other than VCLONE_PRECISION_F32 must match the file's.
// False, with the error recorded, when the file is damaged, truncated, of
// another format version or does not fit the modules.
bool load_prepared_model(const char *path, const char *vocab_path, int requested_precision,
                         vclone_model &model, const ModuleConstructor &construct);

// Reads every byte of a prepared file: the header, the table, every tensor
// against its checksum and the padding. True with a one-line summary in
// *report; false with the reason in *report.
bool verify_prepared_model(const char *path, std::string *report);

// The vocabulary JSON a prepared file embeds.
bool read_prepared_vocabulary(const char *path, std::string *text, std::string *error);

// Loads the vocabulary of a vocabulary file, or the one a prepared model
// embeds; as load_vocabulary (0, or -1 with the reason in *error).
int read_vocabulary(BpeTokenizer *tokenizer, const char *path, std::string *error);
