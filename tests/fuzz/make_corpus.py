#!/usr/bin/python3
"""Writes the hand-made seed inputs of the fuzz targets to tests/fuzz/corpus/.

usage: make_corpus.py

Each file is small and shows one feature of its format, so the fuzzer starts
from every branch that a well-formed input reaches. The files are committed;
rerun this only to change the seeds.

The wav target's seeds in other formats (24-bit, float and EXTENSIBLE WAV,
FLAC, Ogg Vorbis and Opus, MP3, AIFF: the files with an extension) were
written once with libsndfile, 300 to 1152 frames of a sine at 8 kHz; this
script leaves them alone.
"""
import json
import os
import shutil
import struct
import sys

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from vclone_archive import write_archive  # noqa: E402

CORPUS = os.path.join(HERE, "corpus")


def put(target, name, data):
    os.makedirs(os.path.join(CORPUS, target), exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(CORPUS, target, name), "wb") as f:
        f.write(data)


def chunk(chunk_id, body, pad=True):
    data = chunk_id + struct.pack("<I", len(body)) + body
    return data + b"\0" if pad and len(body) % 2 else data


def fmt(channels=1, rate=22050, bits=16, tag=1, extra=b""):
    align = channels * bits // 8
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits) + extra
    return chunk(b"fmt ", body)


def riff(*chunks):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def samples(*values):
    return struct.pack("<%dh" % len(values), *values)


def wav_seeds():
    put("wav", "mono", riff(fmt(), chunk(b"data", samples(0, 16384, -32768, 32767))))
    put("wav", "stereo_48k", riff(fmt(2, 48000), chunk(b"data", samples(1, -1, 2, -2))))
    put("wav", "list_before_data",
        riff(fmt(), chunk(b"LIST", b"INFOISFT\x05\0\0\0test\0"), chunk(b"data", samples(7, 8))))
    put("wav", "fmt_extension", riff(fmt(extra=b"\0\0"), chunk(b"data", samples(3))))
    put("wav", "odd_chunk_padded",
        riff(fmt(), chunk(b"junk", b"abc"), chunk(b"data", samples(1, 2, 3))))
    put("wav", "odd_chunk_unpadded",
        riff(fmt(), chunk(b"junk", b"abc", pad=False), chunk(b"data", samples(1, 2))))
    put("wav", "float_format", riff(fmt(bits=32, tag=3), chunk(b"data", b"\0\0\x80\x3f")))
    put("wav", "two_data_chunks",
        riff(fmt(), chunk(b"data", samples(1)), chunk(b"data", samples(5, 6))))
    put("wav", "huge_data_size", riff(fmt()) + b"data\xff\xff\xff\x7f" + samples(1, 2))


def archive_seeds(scratch):
    def archive(name, tensors, **options):
        path = os.path.join(scratch, name)
        write_archive(path, tensors, **options)
        with open(path, "rb") as f:
            put("archive", name, f.read())

    archive("two_records", {"mel_stats": torch.arange(4.0), "w": torch.ones(2, 3)})
    archive("shared_record", {"a": torch.arange(3.0), "b": torch.tensor(2.0)},
            shared_record=True)
    path = os.path.join(scratch, "no_manifest")
    writer = torch._C.PyTorchFileWriter(path)
    writer.write_record("data/0", b"\0" * 8, 8)
    writer.write_end_of_file()
    with open(path, "rb") as f:
        put("archive", "no_manifest", f.read())


def manifest_seeds():
    def entry(key, offset, shape, numel):
        return {"storage_key": key, "offset": offset, "shape": shape,
                "stride": [], "numel": numel}

    put("manifest_text", "entries", json.dumps({
        "mel_stats": entry("0", 0, [4], 4),
        "grid": entry("0", 4, [2, 3], 6),
        "scalar": entry("1", 0, [], 1),
    }))
    put("manifest_text", "bad_entries", json.dumps({
        "past_end": entry("0", 60, [8], 8),
        "wrong_numel": entry("0", 0, [2, 2], 5),
        "negative": entry("0", -4, [-1], -1),
        "huge": entry("0", 0, [1 << 40, 1 << 40], 0),
        "odd": entry("odd", 0, [1], 1),
        "empty": entry("empty", 0, [0], 0),
        "missing": entry("nowhere", 0, [1], 1),
    }))
    put("manifest_text", "fields_in_any_order",
        '{"x": {"numel": 2, "shape": [2], "offset": 1, "storage_key": "0"}}')
    put("manifest_text", "bad_number", '{"x": {"storage_key": "0", "offset": -, "numel": 1}}')
    put("manifest_text", "nested", '{"outer": {"inner": {"storage_key": "0"}, "numel": 1}')


def vocabulary_seeds():
    vocab = {"[STOP]": 0, "[UNK]": 1, "[SPACE]": 2, "[en]": 3, "[zh-cn]": 4,
             "h": 5, "e": 6, "l": 7, "o": 8, "he": 9, "ll": 10, "hell": 11, "hello": 12,
             "\u00fc": 13, "\u4e16": 14}
    merges = ["h e", "l l", "he ll", "hell o"]
    put("vocabulary", "small", json.dumps(
        {"version": "1.0", "model": {"type": "BPE", "vocab": vocab, "merges": merges}},
        ensure_ascii=False, indent=1))
    put("vocabulary", "pair_merges", json.dumps(
        {"model": {"vocab": {"a": 1, "b": 2}, "merges": [["a", "b"], "a  b"]}}))
    put("vocabulary", "escapes_and_nesting",
        '{"model": {"vocab": {"\\"q": 5, "x": {"y": 1}, "z": -3}, "merges": []}}')
    put("vocabulary", "bad_id", '{"model": {"vocab": {"a": 99999999999}, "merges": []}}')


def encode_text_seeds():
    put("encode_text", "hello", "  Hello   HELLO ")
    put("encode_text", "brackets", "[en] [SPACE]]] [unknown [ [")
    put("encode_text", "utf8", "Gr\u00fc\u00dfe \u4e16\u754c \U0001f3b5 \u00fcb")
    put("encode_text", "broken_utf8", b"\xff\xfe\xc3 x \xe2\x82 \x80\xf0\x9f")
    put("encode_text", "language_prefix", b"zh\0hello world")
    put("encode_text", "runs", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\t\r\n aaaa")


def main():
    scratch = os.path.join(CORPUS, ".scratch")
    os.makedirs(scratch, exist_ok=True)
    try:
        wav_seeds()
        archive_seeds(scratch)
        manifest_seeds()
        vocabulary_seeds()
        encode_text_seeds()
    finally:
        shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
