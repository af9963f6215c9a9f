"""Measures, through the Wyoming protocol, how long a running `vclone
wyoming` takes to deliver its first audio: for a one-shot synthesize event,
and for the first sentence of a streamed text. Not a test: figures to report.

One-shot: from sending `synthesize` to receiving the first audio-chunk.
Streamed: from sending the synthesize-chunk that completes the first sentence
(after synthesize-start and a chunk cut mid-word) to that sentence's first
audio-chunk.

usage: first_audio.py PORT [--voice NAME] [--runs N]
"""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wyoming_client import Client  # noqa: E402

TEXT = "The quick brown fox jumps over the lazy dog while the farmer watches from the gate."


def first_chunk(client):
    while True:
        event = client.read()
        if event is None or event.type == "error":
            raise RuntimeError(f"no audio: {event}")
        if event.type == "audio-chunk":
            return time.monotonic()


def finish(client, *types):
    client.read_until(*types)


def one_shot(port, voice):
    with Client(port, timeout=600) as client:
        start = time.monotonic()
        client.send("synthesize", {"text": TEXT, "voice": {"name": voice}})
        first = first_chunk(client) - start
        finish(client, "audio-stop")
        return first, time.monotonic() - start


def streamed(port, voice):
    with Client(port, timeout=600) as client:
        client.send("synthesize-start", {"voice": {"name": voice}})
        client.send("synthesize-chunk", {"text": TEXT[:21]})
        start = time.monotonic()
        client.send("synthesize-chunk", {"text": TEXT[21:] + " And th"})
        first = first_chunk(client) - start
        client.send("synthesize-chunk", {"text": "en it rains."})
        client.send("synthesize-stop")
        finish(client, "synthesize-stopped")
        return first, time.monotonic() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", type=int)
    parser.add_argument("--voice", default="ref")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    for name, measure in [("one-shot", one_shot), ("streamed first sentence", streamed)]:
        firsts = []
        for run in range(args.runs):
            first, whole = measure(args.port, args.voice)
            print(f"{name}, run {run + 1}: first audio {first:.3f} s, all audio {whole:.2f} s")
            firsts.append(first)
        print(f"{name}: median first audio {statistics.median(firsts):.3f} s")


if __name__ == "__main__":
    main()
