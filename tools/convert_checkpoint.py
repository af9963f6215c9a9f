#!/usr/bin/python3
"""Converts a trained checkpoint into a vclone weight archive.

usage: convert_checkpoint.py CHECKPOINT ARCHIVE [--shared-record]

CHECKPOINT is a file written by torch.save holding a dictionary of tensors,
possibly under a "model" entry, keyed as the engine expects
("gpt.gpt.h.0.attn.c_attn.weight", "hifigan_decoder.waveform_decoder.ups.0.weight", ...).
Floating-point tensors are stored as float32; everything else is skipped and
listed.

The checkpoint is read with torch.load(weights_only=True): tensors, numbers,
strings and containers only. A checkpoint that pickles other objects is
refused rather than unpickled, since unpickling can run code hidden in a
downloaded file.
"""
import argparse
import os
import pickle
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vclone_archive import write_archive  # noqa: E402


def state_dict_of(checkpoint):
    if isinstance(checkpoint, dict) and isinstance(checkpoint.get("model"), dict):
        return checkpoint["model"]
    return checkpoint


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("checkpoint")
    parser.add_argument("archive")
    parser.add_argument("--shared-record", action="store_true",
                        help="store all tensors in one data record")
    args = parser.parse_args()

    try:
        checkpoint = torch.load(args.checkpoint, map_location="cpu", weights_only=True)
    except pickle.UnpicklingError as error:
        sys.exit("convert_checkpoint: %s holds objects other than tensors, numbers and containers, "
                 "so it was not loaded: unpickling them could run code hidden in the file.\n"
                 "If you trust its source, load it once where running its code is safe and save only "
                 "its tensors:\n"
                 "  torch.save({k: v for k, v in state_dict.items() if torch.is_tensor(v)}, 'plain.pth')\n"
                 "and convert that file. (torch: %s)" % (args.checkpoint, str(error).splitlines()[0]))
    except Exception as error:  # torch.load raises many kinds
        sys.exit("convert_checkpoint: cannot read %s: %s" % (args.checkpoint, error))
    state = state_dict_of(checkpoint)
    if not isinstance(state, dict):
        sys.exit("convert_checkpoint: %s holds no dictionary of tensors" % args.checkpoint)

    kept, skipped = {}, []
    for name, value in state.items():
        if isinstance(value, torch.Tensor) and value.is_floating_point():
            kept[str(name)] = value.to(torch.float32)
        else:
            kind = value.dtype if isinstance(value, torch.Tensor) else type(value).__name__
            skipped.append("%s (%s)" % (name, kind))
    if not kept:
        sys.exit("convert_checkpoint: %s holds no float tensors; nothing written" % args.checkpoint)

    write_archive(args.archive, kept, shared_record=args.shared_record)
    print("wrote %d tensors to %s" % (len(kept), args.archive))
    if skipped:
        print("skipped %d entries: %s" % (len(skipped), ", ".join(skipped)))


if __name__ == "__main__":
    main()
