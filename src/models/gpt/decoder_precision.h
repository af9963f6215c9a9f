// Reduced-precision decoder weights. A decode step reads every projection of
// the 30 layers and the code head once, so its time is their bytes over the
// memory bandwidth: bf16 halves those bytes, int8 quarters them.
//
// After set_decoder_precision every path through the decoder (the fused
// step, run_layers and the head) reads the reduced matrices; layer norms,
// embeddings, attention over the cache and the sampling stay float32.
#pragma once

#include <cstdint>

class GPTDecoderImpl;

enum class DecoderPrecision { kF32, kBF16, kInt8 };

// Kernel paths of the reduced matrix-vector products. bf16 runs on kScalar,
// kAvx2, kAvx512 (widening to float32) and kAvx512Bf16 (vdpbf16ps, the
// activations rounded to bf16 too); int8 on kScalar, kAvx2 and kAvx512Vnni.
enum class ReducedPath { kScalar, kAvx2, kAvx512, kAvx512Bf16, kAvx512Vnni };

// How int8 activations are scaled: one scale per 64 values, or one for the
// whole vector. Per block keeps the logits closer (bench_gpt measures both).
enum class ActivationScale { kPerBlock, kPerRow };

// Whether this CPU runs a path for a precision.
bool reduced_path_supported(DecoderPrecision precision, ReducedPath path);
// The fastest supported path for a precision.
ReducedPath best_reduced_path(DecoderPrecision precision);

// What happens to the float32 projection weights when a reduced precision is
// set: released (the point of it: peak memory drops by their bytes) or kept,
// so that tests and benchmarks can compare precisions on one decoder.
enum class Float32Weights { kRelease, kKeep };

// Converts the projections (c_attn, c_proj, c_fc, c_proj_mlp of every layer)
// and mel_head: bf16 rounded to nearest even, or int8 symmetric with a float
// scale per output row. Converting from a reduced precision starts from its
// values; kF32 restores float32 weights (exactly, if they were kept) and drops
// the reduced ones. Picks the best kernel path for this CPU.
void set_decoder_precision(GPTDecoderImpl &decoder, DecoderPrecision precision,
                           Float32Weights float32_weights = Float32Weights::kRelease);

DecoderPrecision decoder_precision(const GPTDecoderImpl &decoder);

// Forces a kernel path on every reduced matrix, for tests and benchmarks.
// Returns false, changing nothing, if the CPU does not run it for the
// decoder's precision.
bool set_decoder_reduced_path(GPTDecoderImpl &decoder, ReducedPath path);

// Sets how int8 activations are scaled; ignored by bf16.
void set_decoder_activation_scale(GPTDecoderImpl &decoder, ActivationScale scale);

// Bytes of the weights one decode step reads in the current precision: the
// 30 layers, the two final norms and mel_head.
int64_t decode_step_weight_bytes(GPTDecoderImpl &decoder);
