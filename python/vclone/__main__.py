"""python3 -m vclone say ...: the command line's say, from Python.

    python3 -m vclone say --model model.pt --vocab vocab.json --ref me.wav \\
        --out hello.wav --seed 7 "Hello there."
    echo "A long text." | python3 -m vclone say ... --voice me.vcv --out - | aplay
"""
from __future__ import annotations

import argparse
import logging
import sys
from typing import List, Optional

from . import Model, VcloneError, Voice, write_wav
from ._native import PRECISIONS


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python3 -m vclone",
                                     description="Speak a text in the voice of a recording.")
    commands = parser.add_subparsers(dest="command", required=True)
    say = commands.add_parser("say", help="speak a text to a WAV file or standard output")
    say.add_argument("--model", required=True, help="weight archive or prepared model")
    say.add_argument("--vocab", help="vocabulary JSON (a prepared model has its own)")
    source = say.add_mutually_exclusive_group(required=True)
    source.add_argument("--ref", help="reference recording (WAV) of the voice")
    source.add_argument("--voice", help="voice file made by `vclone voice`")
    say.add_argument("--out", required=True, help="output WAV, or - for a WAV stream on stdout")
    say.add_argument("--language", default="en", help="language code; en")
    say.add_argument("--temperature", type=float)
    say.add_argument("--top-k", type=int)
    say.add_argument("--top-p", type=float)
    say.add_argument("--repetition-penalty", type=float)
    say.add_argument("--seed", type=int)
    say.add_argument("--speed", type=float)
    say.add_argument("--max-codes", type=int)
    say.add_argument("--pause", type=float, dest="pause_seconds")
    say.add_argument("--no-split", action="store_true", help="speak the text as one piece")
    say.add_argument("--quiet", action="store_true", help="print only warnings and errors")
    say.add_argument("--threads", type=int, default=0, help="compute threads; 0 = all cores")
    say.add_argument("--precision", choices=sorted(PRECISIONS), default="f32")
    say.add_argument("text", nargs="?", default="-", help="text; standard input when absent or -")
    return parser


def _wav_stream_header(sample_rate: int) -> bytes:
    unknown = 0xFFFFFFFF  # length unknown, as players of piped WAV expect
    return (b"RIFF" + unknown.to_bytes(4, "little") + b"WAVEfmt " + (16).to_bytes(4, "little")
            + (1).to_bytes(2, "little") + (1).to_bytes(2, "little")
            + sample_rate.to_bytes(4, "little") + (sample_rate * 2).to_bytes(4, "little")
            + (2).to_bytes(2, "little") + (16).to_bytes(2, "little")
            + b"data" + unknown.to_bytes(4, "little"))


def _pcm16(chunk) -> bytes:
    import numpy as np
    clean = np.clip(np.nan_to_num(chunk, nan=0.0), -1.0, 1.0)
    return (clean * np.float32(32767.0)).astype("<i2").tobytes()


def say(args: argparse.Namespace) -> int:
    options = {name: getattr(args, name) for name in
               ("temperature", "top_k", "top_p", "repetition_penalty", "seed", "speed",
                "max_codes", "pause_seconds") if getattr(args, name) is not None}
    options["split_text"] = not args.no_split
    text = sys.stdin.read() if args.text == "-" else args.text
    if not text.strip():
        print("vclone: the text is empty", file=sys.stderr)
        return 2
    logging.basicConfig(level=logging.WARNING if args.quiet else logging.DEBUG,
                        format="%(message)s", stream=sys.stderr)
    # A failure is reported once, from the exception.
    logging.getLogger("vclone").addFilter(lambda record: record.levelno < logging.ERROR)
    with Model(args.model, args.vocab, threads=args.threads, precision=args.precision) as model:
        with (Voice.load(args.voice) if args.voice else model.voice(args.ref)) as voice:
            if args.out == "-":
                out = sys.stdout.buffer
                out.write(_wav_stream_header(model.sample_rate))
                out.flush()
                for chunk in model.stream(text, voice, args.language, **options):
                    out.write(_pcm16(chunk))
                    out.flush()
            else:
                samples = model.speak(text, voice, args.language, **options)
                write_wav(args.out, samples, model.sample_rate)
                if not args.quiet:
                    print(f"vclone: wrote {args.out}: {len(samples) / model.sample_rate:.2f} s"
                          " of audio", file=sys.stderr)
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return say(args)
    except VcloneError as error:
        print(f"vclone: {error}", file=sys.stderr)
        return 1
    except (TypeError, ValueError, OSError) as error:
        print(f"vclone: {error}", file=sys.stderr)
        return 2 if not isinstance(error, OSError) else 1


if __name__ == "__main__":
    sys.exit(main())
