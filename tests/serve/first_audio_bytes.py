"""Measures, through HTTP, how long a streamed request takes to deliver its
first audio bytes and its last, on a running `vclone serve`. Not a test: a
figure to report.

With --reference, a voice is first made from that recording under a new name,
so the first run is a voice's first request (its file read, its conditioning
passed through the decoder) and the later runs are later requests (the voice
kept loaded, its conditioning kept by the library).

With --library MODEL (and --reference), the same model is also loaded in this
process through the Python package, and each later HTTP request is followed,
after a pause, by the same streamed call made straight on the library: the two
figures come from one run, interleaved, so the machine's drift between runs
does not enter their difference.

usage: first_audio_bytes.py PORT (VOICE | --reference WAV) [TEXT] [--runs N] [--max-codes N]
                            [--format pcm|wav|mp3|opus|flac|aac] [--library MODEL [--vocab VOCAB]]
"""
import argparse
import http.client
import json
import statistics
import time
import uuid

PAUSE_SECONDS = 0.5  # lets the other process's idle compute threads go to sleep

SENTENCE = "The quick brown fox jumps over the lazy dog while the sun sets slowly in the west."


def one_run(port, body):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    start = time.monotonic()
    connection.request("POST", "/v1/audio/speech", body=json.dumps(body),
                       headers={"Content-Type": "application/json"})
    response = connection.getresponse()
    headers_at = time.monotonic() - start
    first = response.read1(65536)
    first_at = time.monotonic() - start
    rest = response.read()
    end_at = time.monotonic() - start
    connection.close()
    return response.status, headers_at, first_at, end_at, len(first) + len(rest)


def library_first_audio(model, voice, text, max_codes):
    """Seconds from the call to the first chunk of a seeded stream, as the
    library's own benchmark measures it."""
    options = {"seed": 1}
    if max_codes:
        options["max_codes"] = max_codes
    start = time.monotonic()
    chunks = model.stream(text, voice, **options)
    next(chunks)
    first_at = time.monotonic() - start
    for _ in chunks:
        pass
    return first_at


def open_library(model_path, vocab_path, reference):
    import vclone  # only this mode needs the package
    model = vclone.Model(model_path, vocab_path)
    voice = model.voice(reference)
    for _ in model.stream("Warm up.", voice, seed=1):  # as the benchmark warms up
        pass
    return model, voice


def make_voice(port, reference):
    name = "measure-" + uuid.uuid4().hex[:8]
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    with open(reference, "rb") as f:
        connection.request("POST", "/v1/voices?name=" + name, body=f.read(),
                           headers={"Content-Type": "audio/wav"})
    response = connection.getresponse()
    assert response.status == 201, response.read()
    connection.close()
    return name


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", type=int)
    parser.add_argument("voice", nargs="?")
    parser.add_argument("text", nargs="?", default=SENTENCE)
    parser.add_argument("--reference")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--max-codes", type=int)
    parser.add_argument("--format", default="pcm")
    parser.add_argument("--library")
    parser.add_argument("--vocab")
    args = parser.parse_args()
    if args.library and not args.reference:
        parser.error("--library needs --reference")
    library = open_library(args.library, args.vocab, args.reference) if args.library else None
    voice = make_voice(args.port, args.reference) if args.reference else args.voice
    body = {"input": args.text, "voice": voice, "stream": True, "seed": 1, "response_format": args.format}
    if args.max_codes:
        body["max_codes"] = args.max_codes
    firsts = []
    library_firsts = []
    for run in range(args.runs):
        status, headers_at, first_at, end_at, size = one_run(args.port, body)
        label = "first request" if run == 0 and args.reference else "later request"
        print(f"run {run + 1} ({label}): status {status}, headers {headers_at:.3f} s, first audio bytes "
              f"{first_at:.3f} s, last byte {end_at:.2f} s, {size} bytes of {args.format}")
        firsts.append(first_at)
        if library and run > 0:
            time.sleep(PAUSE_SECONDS)
            library_firsts.append(library_first_audio(*library, args.text, args.max_codes))
            print(f"run {run + 1} (library): first audio {library_firsts[-1]:.3f} s")
            time.sleep(PAUSE_SECONDS)
    later = firsts[1:] if args.reference else firsts
    if args.reference:
        print(f"first audio bytes, a voice's first request: {firsts[0]:.3f} s")
    if later:
        print(f"first audio bytes, later requests (median of {len(later)}): {statistics.median(later):.3f} s")
    if library_firsts:
        through_library = statistics.median(library_firsts)
        print(f"first audio, the same calls on the library (median of {len(library_firsts)}): "
              f"{through_library:.3f} s")
        print(f"what HTTP adds (difference of the medians): "
              f"{1000 * (statistics.median(later) - through_library):.0f} ms")


if __name__ == "__main__":
    main()
