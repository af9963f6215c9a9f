"""Fixtures shared by the command-line and Python package tests: a full-size
random model made once per test program, a reference recording, and WAV
reading that checks the header it reads."""
from __future__ import annotations

import os
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

SOURCE_DIR = Path(os.environ.get("VCLONE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
CLI = os.environ.get("VCLONE_CLI", str(SOURCE_DIR / "build" / "tools" / "vclone"))
SAMPLE_RATE = 24000
# Debian's interpreter, which has torch for the model maker and numpy.
PYTHON = "/usr/bin/python3"


def make_model():
    """Yields (model.pt, vocab.json): the model ctest made for every
    full-model test program (VCLONE_TEST_MODEL), or else a full-size random
    model written for this program and removed after it (1.9 GB is too much
    to leave behind per run)."""
    shared = os.environ.get("VCLONE_TEST_MODEL")
    if shared:
        yield Path(shared) / "model.pt", Path(shared) / "vocab.json"
        return
    folder = Path(tempfile.mkdtemp(prefix="vclone-test-model-"))
    try:
        subprocess.run([PYTHON, str(SOURCE_DIR / "tools" / "make_random_model.py"), str(folder)],
                       check=True, stdout=subprocess.DEVNULL)
        yield folder / "model.pt", folder / "vocab.json"
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def write_reference(path: Path, seconds: float = 4.0, rate: int = 22050) -> Path:
    """A voiced-like 16-bit mono WAV: a gliding harmonic tone with some noise."""
    rng = np.random.default_rng(1)
    t = np.arange(int(seconds * rate)) / rate
    pitch = 120 + 30 * np.sin(2 * np.pi * 0.5 * t)
    phase = 2 * np.pi * np.cumsum(pitch) / rate
    signal = sum(np.sin(k * phase) / k for k in range(1, 8)) * 0.2
    signal = signal + 0.02 * rng.standard_normal(t.size)
    pcm = (np.clip(signal, -1, 1) * 32767).astype("<i2")
    header = (b"RIFF" + struct.pack("<I", 36 + 2 * pcm.size) + b"WAVEfmt "
              + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16)
              + b"data" + struct.pack("<I", 2 * pcm.size))
    path.write_bytes(header + pcm.tobytes())
    return path


def parse_wav(data: bytes, streamed: bool = False) -> np.ndarray:
    """The 16-bit samples of a mono 24 kHz WAV as written by vclone; the
    lengths in the header are checked (0xFFFFFFFF for a stream)."""
    assert data[:4] == b"RIFF" and data[8:16] == b"WAVEfmt ", "not a WAV header"
    riff_size, = struct.unpack("<I", data[4:8])
    fmt = struct.unpack("<IHHIIHH", data[16:36])
    assert fmt == (16, 1, 1, SAMPLE_RATE, SAMPLE_RATE * 2, 2, 16), fmt
    assert data[36:40] == b"data"
    data_size, = struct.unpack("<I", data[40:44])
    payload = data[44:]
    if streamed:
        assert riff_size == data_size == 0xFFFFFFFF
    else:
        assert data_size == len(payload) and riff_size == 36 + len(payload)
    assert len(payload) % 2 == 0
    return np.frombuffer(payload, dtype="<i2")


def run_cli(*args: str, input: str | None = None, check: bool = True) -> subprocess.CompletedProcess:
    """Runs the command-line program; with check, a non-zero exit fails the
    test with its standard error."""
    result = subprocess.run([CLI, *map(str, args)], input=input.encode() if input is not None else b"",
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    if check and result.returncode != 0:
        raise AssertionError(f"vclone {' '.join(map(str, args))} exited with {result.returncode}:\n"
                             + result.stderr.decode(errors="replace"))
    return result


# ---- pytest fixtures, imported by the conftest of each test folder ---------
import pytest  # noqa: E402


@pytest.fixture(scope="session")
def model_files():
    yield from make_model()


@pytest.fixture(scope="session")
def reference(tmp_path_factory):
    return write_reference(tmp_path_factory.mktemp("ref") / "reference.wav")
