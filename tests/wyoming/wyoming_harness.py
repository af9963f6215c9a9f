"""Shared by the Wyoming tests: the random full-size model and a reference
recording (made as for the HTTP server's tests), voice files, the samples the
library itself gives for a few texts, and a `vclone wyoming` process on a
free 127.0.0.1 port."""
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np

SOURCE_DIR = os.environ.get("VCLONE_SOURCE_DIR",
                            os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "serve"))
import serve_harness  # noqa: E402  (the model and the reference recording)

VCLONE_BIN = os.environ.get("VCLONE_BIN", os.path.join(SOURCE_DIR, "build", "tools", "vclone"))
WORK_DIR = os.environ.get("VCLONE_TEST_DIR", os.path.join(SOURCE_DIR, "build", "tests", "wyoming"))
HOST = "127.0.0.1"

# A random model never emits its stop code, so each piece of text costs
# exactly MAX_CODES codes (about 1 s of audio); every synthesis is seeded.
MAX_CODES = 24
SEED = 7


def prepare():
    os.makedirs(WORK_DIR, exist_ok=True)
    return serve_harness.prepare(WORK_DIR)


def pcm16(samples):
    """Float samples as the server sends them: clamped, scaled by 32767 and
    truncated to 16-bit little-endian."""
    scaled = np.clip(np.nan_to_num(samples.astype(np.float32)), -1, 1) * np.float32(32767)
    return scaled.astype("<i2")


def make_voices(paths, voices_dir, texts):
    """Writes ref.vcv (the reference recording) and alto.vcv (another one)
    to voices_dir, and returns {text: 16-bit samples of vclone_speak in
    `ref`} for each text, with the server's seed and code budget."""
    import vclone

    os.makedirs(voices_dir, exist_ok=True)
    other = os.path.join(WORK_DIR, "other_reference.wav")
    serve_harness.write_reference(other, seconds=2.0, rate=16000)
    expected = {}
    with vclone.Model(paths["model"], paths["vocab"], threads=2) as model:
        voice = model.voice(paths["reference"])
        voice.save(os.path.join(voices_dir, "ref.vcv"))
        model.voice(other).save(os.path.join(voices_dir, "alto.vcv"))
        for text in texts:
            expected[text] = pcm16(model.speak(text, voice, seed=SEED, max_codes=MAX_CODES))
    return expected


class Server:
    """`vclone wyoming` on a free port; its standard error is kept in `log`."""

    def __init__(self, paths, voices_dir, extra_args=(), ready_timeout=180):
        command = [VCLONE_BIN, "wyoming", "--model", paths["model"], "--vocab", paths["vocab"],
                   "--voices", voices_dir, "--host", HOST, "--port", "0", "--threads", "2",
                   "--max-codes", str(MAX_CODES), "--seed", str(SEED), *extra_args]
        self.process = subprocess.Popen(command, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        text=True)
        self.log = []
        self.port = None
        ready = threading.Event()

        def read_log():
            for line in self.process.stderr:
                self.log.append(line.rstrip("\n"))
                found = re.search(r"listening on tcp://[0-9.]+:(\d+)", line)
                if found:
                    self.port = int(found.group(1))
                if "model loaded, ready" in line:
                    ready.set()

        self.reader = threading.Thread(target=read_log, daemon=True)
        self.reader.start()
        deadline = time.monotonic() + ready_timeout
        while not ready.wait(0.2):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("vclone wyoming did not become ready:\n" + "\n".join(self.log))

    def wait_for_log(self, pattern, timeout=60):
        """True once a line of the log matches `pattern`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(re.search(pattern, line) for line in list(self.log)):
                return True
            time.sleep(0.05)
        return False

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
