"""Shared by the server tests: the random full-size model (made once per
build folder), a reference recording, and a `vclone serve` process on a free
127.0.0.1 port.

Run as a program (`serve_harness.py prepare DIR`) it makes the model and the
recording and prints their paths as JSON, for the browser test.
"""
import fcntl
import http.client
import json
import math
import os
import random
import re
import signal
import struct
import subprocess
import sys
import threading
import time
import wave

SOURCE_DIR = os.environ.get("VCLONE_SOURCE_DIR",
                            os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
VCLONE_BIN = os.environ.get("VCLONE_BIN", os.path.join(SOURCE_DIR, "build", "tools", "vclone"))
WORK_DIR = os.environ.get("VCLONE_TEST_DIR", os.path.join(SOURCE_DIR, "build", "tests", "serve"))
HOST = "127.0.0.1"


def prepare(work_dir=WORK_DIR):
    """The model, vocabulary and reference recording, made on first use."""
    # The model ctest made for every full-model test program, if it did.
    model_dir = os.environ.get("VCLONE_TEST_MODEL") or os.path.join(work_dir, "model")
    os.makedirs(model_dir, exist_ok=True)
    paths = {"model": os.path.join(model_dir, "model.pt"),
             "vocab": os.path.join(model_dir, "vocab.json"),
             "reference": os.path.join(work_dir, "reference.wav")}
    # Test programs may run side by side; the first makes what the others use.
    with open(os.path.join(work_dir, ".prepare.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (os.path.exists(paths["model"]) and os.path.exists(paths["vocab"])):
            subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "tools", "make_random_model.py"),
                            model_dir], check=True, stdout=subprocess.DEVNULL)
        if not os.path.exists(paths["reference"]):
            write_reference(paths["reference"])
    return paths


def write_reference(path, seconds=3.0, rate=22050):
    """A voice-like test signal: a gliding tone with noise, as 16-bit mono."""
    rng = random.Random(5)
    frames = bytearray()
    for i in range(int(seconds * rate)):
        t = i / rate
        pitch = 140 + 40 * math.sin(2 * math.pi * 0.7 * t)
        value = 0.4 * math.sin(2 * math.pi * pitch * t) + 0.05 * rng.uniform(-1, 1)
        frames += struct.pack("<h", int(value * 32767))
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(bytes(frames))


class Server:
    """`vclone serve` on a free port; its standard error is kept in `log`."""

    def __init__(self, paths, voices_dir, extra_args=(), ready_timeout=180):
        command = [VCLONE_BIN, "serve", "--model", paths["model"], "--vocab", paths["vocab"],
                   "--voices", voices_dir, "--host", HOST, "--port", "0", "--threads", "2",
                   *extra_args]
        self.process = subprocess.Popen(command, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        text=True)
        self.log = []
        self.port = None
        listening = threading.Event()

        def read_log():
            for line in self.process.stderr:
                self.log.append(line.rstrip("\n"))
                found = re.search(r"listening on http://[0-9.]+:(\d+)", line)
                if found:
                    self.port = int(found.group(1))
                    listening.set()

        self.reader = threading.Thread(target=read_log, daemon=True)
        self.reader.start()
        if not listening.wait(30):
            self.stop()
            raise RuntimeError("vclone serve did not start:\n" + "\n".join(self.log))
        deadline = time.monotonic() + ready_timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("vclone serve exited:\n" + "\n".join(self.log))
            try:
                if self.request("GET", "/healthz", timeout=5)[0] == 200:
                    return
            except OSError:
                pass
            time.sleep(0.2)
        self.stop()
        raise RuntimeError("vclone serve never became ready:\n" + "\n".join(self.log))

    def connection(self, timeout=120):
        return http.client.HTTPConnection(HOST, self.port, timeout=timeout)

    def request(self, method, path, body=None, headers=None, timeout=120):
        """(status, headers, body bytes) of one request on a fresh connection."""
        connection = self.connection(timeout)
        try:
            if isinstance(body, (dict, list)):
                body = json.dumps(body)
                headers = dict(headers or {}, **{"Content-Type": "application/json"})
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def metric(self, name, headers=None):
        """The value of one series of GET /metrics (0 when absent)."""
        text = self.request("GET", "/metrics", headers=headers)[2].decode()
        for line in text.splitlines():
            if line.startswith(name + " "):
                return float(line.split()[-1])
        return 0.0

    def stop(self, timeout=60):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.reader.join(5)
        return self.process.returncode


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "prepare":
        sys.exit("usage: serve_harness.py prepare WORK_DIR")
    print(json.dumps(prepare(sys.argv[2])))
