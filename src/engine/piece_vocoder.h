// Turns one piece's latent rows into audio: in chunks while the codes are
// drawn (streaming), and the rest once the piece ends.
#pragma once

#include "engine/pipeline.h"

#include <ATen/core/Tensor.h>

#include <cstdint>

struct vclone_model;
struct vclone_voice;

// The states of the last three codes drawn are not latents (the stop token
// may follow any of them), so a chunk uses only rows three behind.
constexpr int64_t kUnsettledRows = 3;

// Which vocoder frames a row feeds depends on the piece's final length,
// known only when it ends. Chunks assume the piece runs to its code budget
// (so a piece that does matches the whole synthesis up to rounding); the
// rest is placed by the true length, so the total always equals it. A piece
// that stops early may shift by under one frame (10 ms) at its last seam.
class PieceVocoder {
 public:
  // first_chunk_codes 0: no chunks, the piece is vocoded whole at the end.
  PieceVocoder(vclone_model &model, const vclone_voice &voice, float speed,
               int64_t first_chunk_codes, int64_t chunk_codes, int code_limit,
               const AudioSink &sink);

  // Keeps row r (1024 floats); emits a chunk when one is due. false when the
  // sink stopped.
  bool add(int64_t row, const float *state);

  // Emits everything not yet delivered for a piece of `latent_rows` rows.
  bool finish(int64_t latent_rows);

  // Vocodes latents [1, T, 1024] whole, as the original interface does
  // (the speaking rate is not applied), and delivers them.
  bool finish_whole(const at::Tensor &latents);

 private:
  bool emit_settled();
  bool emit(const at::Tensor &z, int64_t end);

  vclone_model &model_;
  at::Tensor speaker_;
  float speed_;
  const AudioSink &sink_;
  at::Tensor rows_;
  int64_t predicted_rows_;
  int64_t filled_ = 0;
  int64_t emitted_ = 0;
  int64_t next_chunk_;
  int64_t chunk_codes_;
};
