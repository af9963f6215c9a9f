"""`vclone wyoming` refuses bad options before loading the model, and drains
its connections on SIGTERM."""
import os
import shutil
import signal
import socket
import subprocess
import time

import pytest

import wyoming_harness
from wyoming_client import Client

LONG_TEXT = " ".join(["This sentence goes on for a while, so that the pieces of the text fill up."] * 7)


@pytest.fixture(scope="module")
def voices(paths, tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("voices"))
    wyoming_harness.make_voices(paths, folder, [])
    return folder


@pytest.mark.parametrize("arguments, message", [
    (["--host", "0.0.0.0"], "--allow-remote"),
    (["--host", "::"], "--allow-remote"),
    (["--default-voice", "nobody"], "--default-voice nobody: no such voice"),
    (["--voices", "EMPTY"], "no voice files"),
    (["--voices", "MISSING"], "--voices"),
    (["--seed", "-1"], "--seed"),
    (["--max-codes", "3"], "--max-codes"),
], ids=["any IPv4 address", "any IPv6 address", "unknown default voice", "no voices", "missing folder",
        "negative seed", "too few codes"])
def test_refused_before_the_model_loads(paths, voices, tmp_path, arguments, message):
    empty = tmp_path / "empty"
    empty.mkdir()
    arguments = [str(empty) if a == "EMPTY" else str(tmp_path / "missing") if a == "MISSING" else a
                 for a in arguments]
    if "--voices" not in arguments:
        arguments = ["--voices", voices, *arguments]
    command = [wyoming_harness.VCLONE_BIN, "wyoming", "--model", paths["model"], "--vocab", paths["vocab"],
               "--port", "0", *arguments]
    result = subprocess.run(command, capture_output=True, text=True, timeout=30)
    assert result.returncode == 2, result.stderr
    assert message in result.stderr
    assert "listening" not in result.stderr and "Loading weights" not in result.stderr


def test_sigterm_finishes_the_synthesis_in_progress(paths, voices):
    server = wyoming_harness.Server(paths, voices)
    try:
        idle = Client(server.port, timeout=60)
        idle.send("describe")
        assert idle.read().type == "info"
        busy = Client(server.port, timeout=120)
        busy.send("synthesize", {"text": LONG_TEXT})
        assert busy.read().type == "audio-start"

        server.process.send_signal(signal.SIGTERM)
        # The idle connection is closed, new ones are refused ...
        assert idle.read() is None
        deadline = time.monotonic() + 30
        refused = False
        while not refused and time.monotonic() < deadline:
            try:
                socket.create_connection((wyoming_harness.HOST, server.port), timeout=1).close()
                time.sleep(0.05)
            except ConnectionRefusedError:
                refused = True
        assert refused, "still accepting connections after SIGTERM"
        # ... and the synthesis in progress ends with all of its audio.
        events = busy.read_until("audio-stop")
        assert sum(len(e.payload) for e in events) > 0
        assert server.process.wait(60) == 0
        assert any("SIGTERM" in line for line in server.log)
        idle.close()
        busy.close()
    finally:
        server.stop()
