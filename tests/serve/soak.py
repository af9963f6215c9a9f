"""A soak of `vclone serve` on 127.0.0.1: a bounded number of mixed requests
from a few clients at once (whole and streamed speech, uploads, bad
requests, clients that leave), then a report of what was served, what
failed and by which kind, and the server's resident memory before and
after. Exits non-zero on any failure, or when the memory grew by more than
the allowed margin. Run through scripts/soak.sh."""
import argparse
import io
import json
import os
import socket
import sys
import threading
import time
import wave
from collections import Counter

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_harness  # noqa: E402


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def rss_at_rest(server):
    """The resident size once no synthesis runs or waits: the syntheses of
    clients that left mid-stream run on until their next chunk finds them
    gone, and the server hands freed memory back once it has been idle for
    five seconds (checked twice a second)."""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and (server.metric("vclone_synthesis_active") or
                                           server.metric("vclone_queue_depth")):
        time.sleep(0.2)
    time.sleep(6.5)
    return rss_mb(server.process.pid)


def short_wav(seconds=1.0, rate=16000):
    buffer = io.BytesIO()
    with wave.open(buffer, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(2 * int(rate * seconds)))
    return buffer.getvalue()


class Soak:
    def __init__(self, server, reference, max_codes):
        self.server = server
        self.reference = reference
        self.max_codes = max_codes
        self.served = Counter()  # (kind, status)
        self.failures = Counter()  # kind
        self.examples = {}
        self.lock = threading.Lock()

    def body(self, i, **fields):
        return {"input": "Soak request number %d." % i, "voice": "soak", "max_codes": self.max_codes,
                "seed": i, **fields}

    def record(self, kind, status, expected, detail=""):
        with self.lock:
            self.served[(kind, status)] += 1
            if status not in expected:
                self.failures[kind] += 1
                self.examples.setdefault(kind, f"status {status}: {detail}"[:300])

    def raw(self, data, read=True, timeout=30):
        """Sends bytes on a fresh connection; the status line's code, or 0."""
        with socket.create_connection((serve_harness.HOST, self.server.port), timeout=timeout) as s:
            s.sendall(data)
            if not read:
                return 0
            answer = s.recv(4096)
        return int(answer.split(b" ")[1]) if answer.startswith(b"HTTP/1.1 ") else 0

    # Each kind of request: what it sends and the statuses it may get.
    def whole(self, i):
        status, _, body = self.server.request("POST", "/v1/audio/speech", body=self.body(i), timeout=300)
        ok = status == 200 and body[:4] == b"RIFF" and len(body) > 44
        self.record("whole", status if ok or status != 200 else -1, {200}, body[:100])

    def streamed(self, i):
        status, headers, body = self.server.request(
            "POST", "/v1/audio/speech", body=self.body(i, stream=True, response_format="pcm"), timeout=300)
        ok = status == 200 and len(body) > 0 and len(body) % 2 == 0
        self.record("streamed", status if ok or status != 200 else -1, {200}, body[:100])

    def upload(self, i):
        name = "up%d" % i
        status, _, body = self.server.request("POST", "/v1/voices?name=" + name, body=self.reference,
                                              headers={"Content-Type": "audio/wav"}, timeout=300)
        self.record("upload", status, {201}, body[:100])
        if status == 201:
            self.record("delete", self.server.request("DELETE", "/v1/voices/" + name)[0], {200})

    def leaves_mid_stream(self, i):
        connection = self.server.connection(300)
        connection.request("POST", "/v1/audio/speech", body=json.dumps(self.body(i, stream=True, max_codes=200)),
                           headers={"Content-Type": "application/json"})
        response = connection.getresponse()
        status = response.status
        if status == 200:
            response.read1(64)
        connection.sock.shutdown(socket.SHUT_RDWR)
        connection.close()
        self.record("leaves mid-stream", status, {200})

    BAD = [
        (b'{"input": "Hi", ', "application/json", 400),
        (json.dumps({"input": "\u00a0\u3000", "voice": "soak"}).encode(), "application/json", 400),
        (json.dumps({"input": "Hi", "voice": "nobody"}).encode(), "application/json", 404),
        (json.dumps({"input": "Hi", "voice": "soak"}).encode(), "text/plain", 415),
        (json.dumps({"input": "Hi", "voice": "soak", "temperature": 0}).encode(), "application/json", 400),
    ]

    def bad(self, i):
        data, content_type, expected = self.BAD[(i // len(self.KINDS) + i) % len(self.BAD)]
        status, _, body = self.server.request("POST", "/v1/audio/speech", body=data,
                                              headers={"Content-Type": content_type})
        self.record("bad request", status, {expected}, body[:100])
        bad_upload = b"RIFF\x24\x00\x00\x00WAVEfmt " + bytes(40) + b"not audio"
        status, _, body = self.server.request("POST", "/v1/voices?name=bad%d" % i, body=bad_upload,
                                              headers={"Content-Type": "audio/wav"})
        self.record("bad upload", status, {400}, body[:100])

    def reads(self, i):
        path = ("/healthz", "/metrics", "/v1/voices", "/v1/languages", "/")[i % 5]
        self.record("read", self.server.request("GET", path)[0], {200})

    def leaves_in_headers(self, i):
        self.raw(b"POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le", read=False)
        self.record("leaves in headers", 0, {0})

    def over_limit(self, i):
        status = self.raw(b"POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                          b"Content-Length: 999999999\r\n\r\n")
        self.record("over the limit", status, {413})

    # One synthesis in five: the rest are the cheap requests a server sees
    # far more often, and what must not leak either.
    KINDS = ["whole", "bad", "reads", "leaves_in_headers", "over_limit",
             "streamed", "reads", "bad", "over_limit", "reads",
             "upload", "bad", "reads", "leaves_in_headers", "over_limit",
             "leaves_mid_stream", "reads", "bad", "reads", "leaves_in_headers"]

    def run(self, count, clients, seconds, sample=None):
        next_index = [0]
        deadline = time.monotonic() + seconds

        def client():
            while time.monotonic() < deadline:
                with self.lock:
                    i = next_index[0]
                    next_index[0] += 1
                if i >= count:
                    return
                if sample and i % 50 == 0:
                    sample(i)
                kind = self.KINDS[i % len(self.KINDS)]
                try:
                    getattr(self, kind)(i)
                except Exception as error:  # a dropped connection, a timeout: a failure of its kind
                    self.record(kind, -2, set(), repr(error))

        threads = [threading.Thread(target=client) for _ in range(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return min(next_index[0], count)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=500)
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=420, help="stop issuing requests after this long")
    parser.add_argument("--max-codes", type=int, default=8)
    parser.add_argument("--memory-margin-mb", type=float, default=50)
    parser.add_argument("--work-dir", default=serve_harness.WORK_DIR)
    args = parser.parse_args()

    os.makedirs(args.work_dir, exist_ok=True)
    paths = serve_harness.prepare(args.work_dir)
    voices = os.path.join(args.work_dir, "soak-voices")
    if os.path.isdir(voices):
        for name in os.listdir(voices):
            os.unlink(os.path.join(voices, name))
    server = serve_harness.Server(paths, voices, ["--max-queue", "8", "--write-timeout", "5"])
    status = 1
    try:
        with open(paths["reference"], "rb") as f:
            reference = f.read()
        assert server.request("POST", "/v1/voices?name=soak", body=reference,
                              headers={"Content-Type": "audio/wav"})[0] == 201
        soak = Soak(server, reference, args.max_codes)
        # Each kind of synthesis first, as many at once as the clients will
        # send: what the first requests allocate for good (each decoding
        # place's caches, thread pools, allocator arenas) is not growth.
        for kind in (soak.whole, soak.streamed, soak.upload, soak.whole):
            warm = [threading.Thread(target=kind, args=(i,)) for i in range(args.clients)]
            for t in warm:
                t.start()
            for t in warm:
                t.join()
        soak.served.clear()
        start_rss = rss_at_rest(server)
        started = time.monotonic()
        samples = []
        sent = soak.run(args.requests, args.clients, args.seconds,
                        sample=lambda i: samples.append((i, rss_mb(server.process.pid))))
        elapsed = time.monotonic() - started
        end_rss = rss_at_rest(server)
        alive = server.request("GET", "/healthz")[0] == 200

        print(f"soak: {sent} requests from {args.clients} clients in {elapsed:.0f} s "
              f"(max_codes {args.max_codes})")
        by_kind = Counter()
        for (kind, got), n in sorted(soak.served.items()):
            by_kind[kind] += n
            print(f"  {kind:18s} status {got:4d}: {n}")
        print("failures by kind: " + (", ".join(f"{k} {n}" for k, n in sorted(soak.failures.items())) or "none"))
        for kind, example in soak.examples.items():
            print(f"  e.g. {kind}: {example}")
        print(f"resident memory: {start_rss:.0f} MB at the start, {end_rss:.0f} MB at the end "
              f"({end_rss - start_rss:+.0f} MB; allowed {args.memory_margin_mb:.0f})")
        print("resident memory every 50 requests (MB): " + " ".join(f"{mb:.0f}" for _, mb in sorted(samples)))
        print("healthz after: " + ("200" if alive else "not 200"))
        flat = end_rss - start_rss <= args.memory_margin_mb
        status = 0 if not soak.failures and flat and alive and sent == args.requests else 1
    finally:
        code = server.stop()
        if code != 0:
            print("soak: the server exited with %s; the end of its log:" % code)
            print("\n".join(server.log[-30:]))
            status = 1
    sys.exit(status)


if __name__ == "__main__":
    main()
