"""Measures, through HTTP, how long a streamed request takes to deliver its
first audio bytes and its last, on a running `vclone serve`. Not a test: a
figure to report.

usage: first_audio_bytes.py PORT VOICE [TEXT] [--runs N] [--max-codes N]
"""
import argparse
import http.client
import json
import statistics
import time


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
    audio_seconds = (len(first) + len(rest) - 44) / 2 / 24000
    return response.status, headers_at, first_at, end_at, audio_seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", type=int)
    parser.add_argument("voice")
    parser.add_argument("text", nargs="?",
                        default="The quick brown fox jumps over the lazy dog while the farmer watches from the gate.")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--max-codes", type=int)
    args = parser.parse_args()
    body = {"input": args.text, "voice": args.voice, "stream": True, "seed": 1}
    if args.max_codes:
        body["max_codes"] = args.max_codes
    firsts = []
    for run in range(args.runs):
        status, headers_at, first_at, end_at, audio = one_run(args.port, body)
        print(f"run {run + 1}: status {status}, headers {headers_at:.3f} s, first audio bytes "
              f"{first_at:.3f} s, last byte {end_at:.2f} s, {audio:.2f} s of audio, "
              f"first/last {first_at / end_at:.3f}")
        firsts.append(first_at)
    print(f"median time to first audio bytes: {statistics.median(firsts):.3f} s")


if __name__ == "__main__":
    main()
