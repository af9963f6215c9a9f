#!/usr/bin/python3
"""Writes a full-size weight archive with random weights, and a small vocabulary.

usage: make_random_model.py OUT_DIR [--seed N] [--weight-norm] [--shared-record]
                            [--vocab-only]

OUT_DIR receives model.pt (every archive key the engine binds, scaled so that
activations stay finite through the whole chain) and vocab.json (special
tokens, characters and a few hundred merges learned from a short text).
Random weights make noise, not speech: the archive exists to exercise the
engine end to end. --weight-norm stores the vocoder's convolutions as
weight-norm factor pairs, as trained checkpoints often do.
"""
import argparse
import json
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vclone_archive import write_archive  # noqa: E402

WIDTH = 1024


def normal(shape, std):
    return torch.randn(shape) * std


def fan_in_normal(shape, gain=1.0):
    """Keeps the variance of a linear or convolution output near its input's."""
    fan_in = 1
    for size in shape[1:]:
        fan_in *= size
    return normal(shape, gain / fan_in ** 0.5)


def norm_layer(prefix, size, tensors):
    tensors[prefix + ".weight"] = torch.ones(size)
    tensors[prefix + ".bias"] = torch.zeros(size)


def batch_norm(prefix, size, tensors):
    norm_layer(prefix, size, tensors)
    tensors[prefix + ".running_mean"] = torch.zeros(size)
    tensors[prefix + ".running_var"] = torch.ones(size)
    tensors[prefix + ".num_batches_tracked"] = torch.tensor(1000.0)


def conv(prefix, out_ch, in_ch, kernel, tensors, gain=1.0, bias=True):
    tensors[prefix + ".weight"] = fan_in_normal([out_ch, in_ch] + list(kernel), gain)
    if bias:
        tensors[prefix + ".bias"] = torch.zeros(out_ch)


def conditioning_encoder(tensors):
    p = "gpt.conditioning_encoder."
    conv(p + "init", WIDTH, 80, [1], tensors)
    for i in range(6):
        norm_layer(p + "attn.%d.norm" % i, WIDTH, tensors)
        conv(p + "attn.%d.qkv" % i, 3 * WIDTH, WIDTH, [1], tensors)
        conv(p + "attn.%d.proj_out" % i, WIDTH, WIDTH, [1], tensors, gain=0.5)


def perceiver(tensors):
    p = "gpt.conditioning_perceiver."
    tensors[p + "latents"] = normal([32, WIDTH], 1.0)
    ff = int(WIDTH * 4 * 2 / 3)
    for i in range(2):
        q = p + "layers.%d." % i
        tensors[q + "0.to_q.weight"] = fan_in_normal([512, WIDTH])
        tensors[q + "0.to_kv.weight"] = fan_in_normal([1024, WIDTH])
        tensors[q + "0.to_out.weight"] = fan_in_normal([WIDTH, 512], 0.5)
        tensors[q + "1.0.weight"] = fan_in_normal([2 * ff, WIDTH])
        tensors[q + "1.0.bias"] = torch.zeros(2 * ff)
        tensors[q + "1.2.weight"] = fan_in_normal([WIDTH, ff], 0.5)
        tensors[q + "1.2.bias"] = torch.zeros(WIDTH)
    tensors[p + "norm.gamma"] = torch.ones(WIDTH)


def gpt(tensors):
    p = "gpt."
    tensors[p + "text_embedding.weight"] = normal([6681, WIDTH], 0.02)
    tensors[p + "mel_embedding.weight"] = normal([1026, WIDTH], 0.02)
    tensors[p + "text_pos_embedding.emb.weight"] = normal([404, WIDTH], 0.02)
    tensors[p + "mel_pos_embedding.emb.weight"] = normal([608, WIDTH], 0.02)
    for layer in range(30):
        h = p + "gpt.h.%d." % layer
        norm_layer(h + "ln_1", WIDTH, tensors)
        norm_layer(h + "ln_2", WIDTH, tensors)
        # The four layer matrices are stored [in, out].
        tensors[h + "attn.c_attn.weight"] = normal([WIDTH, 3 * WIDTH], 0.02)
        tensors[h + "attn.c_attn.bias"] = torch.zeros(3 * WIDTH)
        tensors[h + "attn.c_proj.weight"] = normal([WIDTH, WIDTH], 0.02)
        tensors[h + "attn.c_proj.bias"] = torch.zeros(WIDTH)
        tensors[h + "mlp.c_fc.weight"] = normal([WIDTH, 4 * WIDTH], 0.02)
        tensors[h + "mlp.c_fc.bias"] = torch.zeros(4 * WIDTH)
        tensors[h + "mlp.c_proj.weight"] = normal([4 * WIDTH, WIDTH], 0.02)
        tensors[h + "mlp.c_proj.bias"] = torch.zeros(WIDTH)
    norm_layer(p + "gpt.ln_f", WIDTH, tensors)
    norm_layer(p + "final_norm", WIDTH, tensors)
    tensors[p + "text_head.weight"] = normal([6681, WIDTH], 0.02)
    tensors[p + "text_head.bias"] = torch.zeros(6681)
    tensors[p + "mel_head.weight"] = normal([1026, WIDTH], 0.02)
    # Random logits would draw the stop code now and then; keep runs full length.
    mel_head_bias = torch.zeros(1026)
    mel_head_bias[1025] = -30.0
    tensors[p + "mel_head.bias"] = mel_head_bias


def speaker_encoder(tensors):
    p = "hifigan_decoder.speaker_encoder."
    conv(p + "conv1", 32, 1, [3, 3], tensors, gain=2 ** 0.5)
    batch_norm(p + "bn1", 32, tensors)
    plan = {1: [(32, 32, 1)] * 3,
            2: [(32, 64, 2)] + [(64, 64, 1)] * 3,
            3: [(64, 128, 2)] + [(128, 128, 1)] * 5,
            4: [(128, 256, 2)] + [(256, 256, 1)] * 2}
    for layer, blocks in plan.items():
        for index, (cin, cout, stride) in enumerate(blocks):
            b = p + "layer%d.%d." % (layer, index)
            conv(b + "conv1", cout, cin, [3, 3], tensors, gain=2 ** 0.5)
            batch_norm(b + "bn1", cout, tensors)
            conv(b + "conv2", cout, cout, [3, 3], tensors, gain=0.5)
            batch_norm(b + "bn2", cout, tensors)
            r = max(cout // 8, 1)
            tensors[b + "se.fc.0.weight"] = fan_in_normal([r, cout])
            tensors[b + "se.fc.0.bias"] = torch.zeros(r)
            tensors[b + "se.fc.1.weight"] = fan_in_normal([cout, r])
            tensors[b + "se.fc.1.bias"] = torch.zeros(cout)
            if cin != cout or stride != 1:
                conv(b + "downsample.0", cout, cin, [1, 1], tensors)
                batch_norm(b + "downsample.1", cout, tensors)
    conv(p + "attention.0", 128, 2048, [1], tensors)
    batch_norm(p + "attention.2", 128, tensors)
    conv(p + "attention.3", 2048, 128, [1], tensors)
    tensors[p + "fc.weight"] = fan_in_normal([512, 4096])
    tensors[p + "fc.bias"] = torch.zeros(512)


def store_conv(tensors, prefix, weight, weight_norm):
    if not weight_norm:
        tensors[prefix + ".weight"] = weight
        return
    dims = list(range(1, weight.dim()))
    magnitude = weight.norm(p=2, dim=dims, keepdim=True)
    tensors[prefix + ".parametrizations.weight.original0"] = magnitude
    tensors[prefix + ".parametrizations.weight.original1"] = weight * 3.0  # direction only


def hifigan(tensors, weight_norm):
    p = "hifigan_decoder.waveform_decoder."
    channels = [512, 256, 128, 64, 32]
    store_conv(tensors, p + "conv_pre", fan_in_normal([512, WIDTH, 7]), weight_norm)
    tensors[p + "conv_pre.bias"] = torch.zeros(512)
    conv(p + "cond_layer", 512, 512, [1], tensors, gain=0.1)
    for i, kernel in enumerate([16, 16, 4, 4]):
        cin, cout = channels[i], channels[i + 1]
        # ConvTranspose1d keeps [in, out, k]; each output sees in * k / stride inputs.
        stride = [8, 8, 2, 2][i]
        up = normal([cin, cout, kernel], (stride / (cin * kernel)) ** 0.5)
        store_conv(tensors, p + "ups.%d" % i, up, weight_norm)
        tensors[p + "ups.%d.bias" % i] = torch.zeros(cout)
        conv(p + "conds.%d" % i, cout, 512, [1], tensors, gain=0.1)
        for j, k in enumerate([3, 7, 11]):
            r = p + "resblocks.%d." % (3 * i + j)
            for m in range(3):
                for name in ("convs1", "convs2"):
                    store_conv(tensors, r + "%s.%d" % (name, m),
                               fan_in_normal([cout, cout, k], 0.3), weight_norm)
                    tensors[r + "%s.%d.bias" % (name, m)] = torch.zeros(cout)
    store_conv(tensors, p + "conv_post", fan_in_normal([1, 32, 7]), weight_norm)


SPECIAL_TOKENS = ["[STOP]", "[UNK]", "[SPACE]", "[en]", "[de]", "[fr]", "[es]", "[it]",
                  "[pt]", "[pl]", "[tr]", "[ru]", "[nl]", "[cs]", "[ar]", "[zh-cn]",
                  "[ja]", "[hu]", "[ko]", "[hi]"]

CORPUS = """the quick brown fox jumps over the lazy dog. she sells sea shells by the
sea shore. a journey of a thousand miles begins with a single step. speak the
words in the voice of the reference recording, clearly and at an even pace.
hello world, this is a test of the voice cloning engine. numbers like 1, 2, 3
and punctuation marks: commas, full stops! question marks? all pass through.
every morning the sun rises in the east and sets in the west in the evening."""


def vocabulary(merge_count=300):
    """Special tokens, single characters, and merges learned from CORPUS."""
    vocab = {token: index for index, token in enumerate(SPECIAL_TOKENS)}
    words = [list(word) for word in CORPUS.lower().split()]
    for ch in sorted(set("".join(CORPUS.lower().split())) | set("abcdefghijklmnopqrstuvwxyz0123456789.,!?'-:;")):
        vocab.setdefault(ch, len(vocab))
    merges = []
    while len(merges) < merge_count:
        counts = {}
        for word in words:
            for left, right in zip(word, word[1:]):
                counts[(left, right)] = counts.get((left, right), 0) + 1
        if not counts:
            break
        best = max(counts, key=lambda pair: (counts[pair], pair))
        merges.append("%s %s" % best)
        vocab.setdefault(best[0] + best[1], len(vocab))
        merged_words = []
        for word in words:
            out, i = [], 0
            while i < len(word):
                if i + 1 < len(word) and (word[i], word[i + 1]) == best:
                    out.append(word[i] + word[i + 1])
                    i += 2
                else:
                    out.append(word[i])
                    i += 1
            merged_words.append(out)
        words = merged_words
    return {"version": "1.0", "model": {"type": "BPE", "vocab": vocab, "merges": merges}}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir")
    parser.add_argument("--seed", type=int, default=1234)
    parser.add_argument("--weight-norm", action="store_true",
                        help="store vocoder convolutions as weight-norm pairs")
    parser.add_argument("--shared-record", action="store_true",
                        help="store all tensors in one data record")
    parser.add_argument("--vocab-only", action="store_true")
    args = parser.parse_args()

    os.makedirs(args.out_dir, exist_ok=True)
    with open(os.path.join(args.out_dir, "vocab.json"), "w") as out:
        json.dump(vocabulary(), out, ensure_ascii=False, indent=1)
    if args.vocab_only:
        return

    torch.manual_seed(args.seed)
    tensors = {"mel_stats": 2.0 + torch.rand(80)}
    conditioning_encoder(tensors)
    perceiver(tensors)
    gpt(tensors)
    speaker_encoder(tensors)
    hifigan(tensors, args.weight_norm)
    count = write_archive(os.path.join(args.out_dir, "model.pt"), tensors,
                          shared_record=args.shared_record)
    print("wrote %d tensors to %s" % (count, os.path.join(args.out_dir, "model.pt")))


if __name__ == "__main__":
    main()
