#!/usr/bin/env python3
"""Three `vclone serve` replicas on one prepared model behind HAProxy
(deploy/haproxy/haproxy.cfg), everything on 127.0.0.1: a bounded mixed load
(streamed and whole speech, voices made through the balancer and used at once
by the others), one replica killed with SIGKILL while it speaks, then started
again. Prints a table per phase and whether each property held; exits 0 when
all did. Run through scripts/scale_test.sh."""

import argparse
import http.client
import json
import math
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = "127.0.0.1"
TEXT = "A replica may die; the others keep speaking."
REQUEST_TIMEOUT = 120.0


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def reference_wav(seconds=3.0, rate=22050):
    frames = int(seconds * rate)
    samples = bytearray()
    for i in range(frames):
        t = i / rate
        f0 = 140.0 + 10.0 * math.sin(2 * math.pi * 3.0 * t)
        value = sum(math.sin(2 * math.pi * f0 * h * t) / (h * 3.0) for h in range(1, 6))
        samples += struct.pack("<h", int(max(-1.0, min(1.0, value)) * 20000))
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(samples), b"WAVE", b"fmt ", 16,
                         1, 1, rate, rate * 2, 2, 16, b"data", len(samples))
    return header + bytes(samples)


def get(port, path, timeout=5.0):
    conn = http.client.HTTPConnection(HOST, port, timeout=timeout)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.read().decode("utf-8", "replace")
    finally:
        conn.close()


def is_prepared(path):
    with open(path, "rb") as f:
        return f.read(8) == b"VCLONEPM"


class Replica:
    def __init__(self, name, args, work):
        self.name, self.args, self.work = name, args, work
        self.port = free_port()
        self.process = None
        self.lives = 0

    def start(self):
        self.lives += 1
        log = open(os.path.join(self.work, f"{self.name}-{self.lives}.log"), "wb")
        command = [self.args.vclone, "serve", "--model", self.args.prepared, "--voices",
                   self.args.voices, "--host", HOST, "--port", str(self.port),
                   "--threads", str(self.args.threads), "--parallel", "1", "--max-queue", "8"]
        self.process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
        log.close()

    def wait_healthy(self, deadline):
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.name} exited with {self.process.returncode}")
            try:
                if get(self.port, "/healthz")[0] == 200:
                    return
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError(f"{self.name} not healthy in time")

    def metrics(self):
        return parse_metrics(get(self.port, "/metrics")[1])

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def parse_metrics(text):
    """The /v1/ request count and the in-flight gauges of one replica."""
    figures = {"v1_requests": 0, "active": 0, "queued": 0}
    for line in text.splitlines():
        if line.startswith("vclone_requests_total{") and 'endpoint="POST /v1/' in line:
            figures["v1_requests"] += int(float(line.rsplit(" ", 1)[1]))
        elif line.startswith("vclone_synthesis_active "):
            figures["active"] = int(float(line.split()[1]))
        elif line.startswith("vclone_queue_depth "):
            figures["queued"] = int(float(line.split()[1]))
    return figures


class Balancer:
    def __init__(self, replicas, work):
        self.port, self.stats_port = free_port(), free_port()
        env = dict(os.environ, VCLONE_LISTEN=f"{HOST}:{self.port}",
                   VCLONE_STATS_LISTEN=f"{HOST}:{self.stats_port}")
        for i, replica in enumerate(replicas, 1):
            env[f"VCLONE_REPLICA_{i}"] = f"{HOST}:{replica.port}"
        log = open(os.path.join(work, "haproxy.log"), "wb")
        self.process = subprocess.Popen(
            ["haproxy", "-db", "-f", os.path.join(ROOT, "deploy/haproxy/haproxy.cfg")],
            env=env, stdout=log, stderr=subprocess.STDOUT)
        log.close()

    def servers(self):
        """svname -> row of HAProxy's CSV statistics, for the replicas backend."""
        status, text = get(self.stats_port, "/stats;csv")
        lines = text.splitlines()
        columns = lines[0].lstrip("# ").split(",")
        rows = {}
        for line in lines[1:]:
            row = dict(zip(columns, line.split(",")))
            if row.get("pxname") == "replicas":
                rows[row["svname"]] = row
        return rows

    def wait_status(self, server, wanted, deadline):
        while time.monotonic() < deadline:
            try:
                if self.servers().get(server, {}).get("status", "").startswith(wanted):
                    return time.monotonic()
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError(f"{server} not {wanted} in time")

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class Client:
    def __init__(self, port, max_codes, wav):
        self.port, self.max_codes, self.wav = port, max_codes, wav
        self.records = []
        self.lock = threading.Lock()

    def run(self, phase, kind, voice):
        record = {"phase": phase, "kind": kind, "voice": voice, "ok": False, "server": None,
                  "status": None, "first": None, "error": None}
        start = time.monotonic()
        record["start"] = start
        conn = http.client.HTTPConnection(HOST, self.port, timeout=REQUEST_TIMEOUT)
        try:
            if kind == "voice":
                conn.request("POST", f"/v1/voices?name={voice}", self.wav,
                             {"Content-Type": "audio/wav"})
            else:
                body = {"input": TEXT, "voice": voice, "language": "en", "seed": 7,
                        "max_codes": self.max_codes, "stream": kind == "stream",
                        "response_format": "pcm" if kind == "stream" else "wav"}
                conn.request("POST", "/v1/audio/speech", json.dumps(body),
                             {"Content-Type": "application/json"})
            response = conn.getresponse()
            record["status"] = response.status
            record["server"] = response.getheader("X-Served-By")
            first = response.read(1)
            record["first"] = time.monotonic() - start
            rest = response.read()
            record["bytes"] = len(first) + len(rest)
            record["complete"] = True
            # A voice made answers 201 Created; speech answers 200.
            expected = 201 if kind == "voice" else 200
            record["ok"] = response.status == expected and record["bytes"] > 0
            if not record["ok"]:
                record["error"] = f"HTTP {response.status}: {(first + rest)[:200]!r}"
        except Exception as e:  # a cut stream, a reset connection, a timeout
            record["error"] = repr(e)
        finally:
            conn.close()
        record["end"] = time.monotonic()
        record["seconds"] = record["end"] - start
        with self.lock:
            self.records.append(record)
        return record


def percentile(values, fraction):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(fraction * len(ordered)) - 1))]


def speech_jobs(count, voices):
    return [("stream" if i % 2 == 0 else "whole", voices[i % len(voices)]) for i in range(count)]


def run_phase(client, phase, jobs, concurrency, started=None):
    with ThreadPoolExecutor(concurrency) as pool:
        futures = []
        for i, (kind, voice) in enumerate(jobs):
            futures.append(pool.submit(client.run, phase, kind, voice))
            if started is not None and i == concurrency:
                started.set()
        for f in futures:
            f.result()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--vclone", default=os.path.join(ROOT, "build/tools/vclone"))
    parser.add_argument("--model", required=True, help="prepared model, or a weight archive to prepare")
    parser.add_argument("--vocab", help="vocabulary, when --model is an archive")
    parser.add_argument("--precision", default="int8", help="precision to prepare an archive at")
    parser.add_argument("--max-codes", type=int, default=24)
    parser.add_argument("--requests", type=int, default=12, help="speech requests per phase")
    parser.add_argument("--concurrency", type=int, default=4)
    parser.add_argument("--threads", type=int, default=0, help="per replica; 0: cores / 3, at least 1")
    parser.add_argument("--work", help="folder for the logs, voices and prepared model")
    args = parser.parse_args()

    cores = len(os.sched_getaffinity(0))
    args.threads = args.threads or max(1, cores // 3)
    work = args.work or tempfile.mkdtemp(prefix="vclone-scale-")
    os.makedirs(work, exist_ok=True)
    args.voices = os.path.join(work, "voices")
    os.makedirs(args.voices, exist_ok=True)
    deadline = time.monotonic() + 600

    if is_prepared(args.model):
        args.prepared = args.model
    else:
        args.prepared = os.path.join(work, f"model-{args.precision}.vcm")
        t0 = time.monotonic()
        subprocess.run([args.vclone, "prepare", "--quiet", "--model", args.model, "--vocab", args.vocab,
                        "--precision", args.precision, "--out", args.prepared], check=True)
        print(f"prepared {args.prepared} ({args.precision}) in {time.monotonic() - t0:.1f} s")

    replicas = [Replica(f"r{i}", args, work) for i in (1, 2, 3)]
    balancer = None
    failures = []
    try:
        t0 = time.monotonic()
        for r in replicas:
            r.start()
        for r in replicas:
            r.wait_healthy(deadline)
        balancer = Balancer(replicas, work)
        for r in replicas:
            balancer.wait_status(r.name, "UP", deadline)
        print(f"3 replicas ({args.threads} thread(s) each, {cores} cores) and HAProxy up in "
              f"{time.monotonic() - t0:.1f} s; work folder {work}")
        if 3 * args.threads > cores:
            print(f"note: 3 x {args.threads} threads > {cores} cores: the replicas share cores")

        client = Client(balancer.port, args.max_codes, reference_wav())
        victim = replicas[0]

        # before: a voice made through the balancer, used at once by everyone.
        made = client.run("before", "voice", "before")
        if not made["ok"]:
            raise RuntimeError(f"voice creation failed: {made['error']}")
        run_phase(client, "before", speech_jobs(args.requests, ["before"]), args.concurrency)

        # during: the victim is killed while it speaks.
        kill = {}

        def killer(started):
            started.wait(REQUEST_TIMEOUT)
            while time.monotonic() < deadline:
                figures = victim.metrics()
                if figures["active"] == 1:
                    # One request at a time reaches a replica (maxconn 1), so
                    # nothing else can finish there between this scrape and
                    # the kill: these are its counts for its first life.
                    victim.process.send_signal(signal.SIGKILL)
                    kill["time"] = time.monotonic()
                    kill["counted"] = figures["v1_requests"]
                    victim.process.wait()
                    return
                time.sleep(0.01)

        started = threading.Event()
        thread = threading.Thread(target=killer, args=(started,))
        thread.start()
        run_phase(client, "during", speech_jobs(args.requests, ["before"]), args.concurrency, started)
        thread.join()
        if "time" not in kill:
            raise RuntimeError("the victim was never seen speaking")
        down_at = balancer.wait_status(victim.name, "DOWN", deadline)
        sessions_when_down = int(balancer.servers()[victim.name]["stot"])
        # Still down: more load, none of which may reach it.
        run_phase(client, "during", speech_jobs(args.concurrency, ["before"]), args.concurrency)
        sessions_before_restart = int(balancer.servers()[victim.name]["stot"])
        stats_before_restart = balancer.servers()

        victim.start()
        restart_at = time.monotonic()
        victim.wait_healthy(deadline)
        up_at = balancer.wait_status(victim.name, "UP", deadline)

        # after: a new voice through the balancer, then load on every replica.
        made = client.run("after", "voice", "after")
        if not made["ok"]:
            failures.append(f"voice creation after restart failed: {made['error']}")
        run_phase(client, "after", speech_jobs(args.requests, ["after", "before"]), args.concurrency)

        records = client.records
        # ---- the table ----
        print()
        print(f"{'phase':8} {'requests':>8} {'ok':>4} {'failed':>6}  {'first audio p50 / p95 (stream)':>31}"
              f"  {'whole p50 / p95':>16}  served by r1 / r2 / r3")
        for phase in ("before", "during", "after"):
            rows = [r for r in records if r["phase"] == phase]
            ok = [r for r in rows if r["ok"]]
            firsts = [r["first"] for r in ok if r["kind"] == "stream"]
            wholes = [r["seconds"] for r in ok if r["kind"] == "whole"]
            served = [sum(1 for r in ok if r["server"] == name) for name in ("r1", "r2", "r3")]
            print(f"{phase:8} {len(rows):8} {len(ok):4} {len(rows) - len(ok):6}  "
                  f"{percentile(firsts, 0.5):13.2f} / {percentile(firsts, 0.95):5.2f} s        "
                  f"{percentile(wholes, 0.5):6.2f} / {percentile(wholes, 0.95):5.2f} s  "
                  f"{served[0]:3} / {served[1]:2} / {served[2]:2}")
        backend = stats_before_restart.get("BACKEND", {})
        dead = stats_before_restart.get(victim.name, {})
        print()
        print(f"killed {victim.name} at +{kill['time'] - t0:.1f} s; HAProxy marked it DOWN "
              f"{down_at - kill['time']:.2f} s later; restarted, UP {up_at - restart_at:.2f} s after start")
        print(f"HAProxy: connection errors to {victim.name} {dead.get('econ')}, retries "
              f"{backend.get('wretr')}, redispatches {backend.get('wredis')}")

        # ---- the properties ----
        failed = [r for r in records if not r["ok"]]
        in_flight = [r for r in failed if r["start"] <= kill["time"] <= r["end"]]
        if len(failed) > 1:
            failures.append(f"{len(failed)} requests failed; at most the 1 in flight on the victim may")
        for r in failed:
            if r not in in_flight or r["phase"] != "during":
                failures.append(f"a request failed that was not in flight at the kill: {r}")
        print(f"failed requests: {len(failed)} (in flight on the victim when killed: at most 1); "
              + "; ".join(f"{r['kind']}: {r['error']}" for r in failed))
        late = [r for r in records if r["server"] == victim.name and down_at <= r["start"] < restart_at]
        if late or sessions_before_restart != sessions_when_down:
            failures.append(f"requests reached {victim.name} while it was down: {late}, sessions "
                            f"{sessions_when_down} -> {sessions_before_restart}")
        rejoined = [r for r in records if r["ok"] and r["server"] == victim.name and r["start"] >= up_at]
        if not rejoined:
            failures.append(f"{victim.name} served nothing after it rejoined")
        others = {r["server"] for r in records
                  if r["ok"] and r["voice"] == "before" and r["kind"] != "voice"}
        creator = next(r["server"] for r in records if r["kind"] == "voice" and r["voice"] == "before")
        if not others - {creator}:
            failures.append("no other replica spoke with the voice made through the balancer")

        # Every complete answer a replica gave is in its counters: the victim's
        # from its first life (scraped as it was killed) and its second.
        answered = {name: sum(1 for r in records if r["server"] == name and r.get("complete"))
                    for name in ("r1", "r2", "r3")}
        counted = {r.name: r.metrics()["v1_requests"] for r in replicas}
        counted[victim.name] += kill["counted"]
        client_total = sum(answered.values())
        print(f"client's answered requests {client_total} = replicas' /metrics "
              f"{sum(counted.values())} ({', '.join(f'{k} {answered[k]}/{counted[k]}' for k in sorted(counted))})")
        if answered != counted:
            failures.append(f"client counts {answered} differ from the replicas' {counted}")
    finally:
        for r in replicas:
            r.stop()
        if balancer:
            balancer.stop()
    print()
    for failure in failures:
        print("FAIL:", failure)
    print("scale test:", "FAILED" if failures else "passed", f"({time.monotonic() - t0:.0f} s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
