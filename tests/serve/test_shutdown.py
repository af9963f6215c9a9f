"""SIGTERM while requests are in flight: they finish, new connections are
refused, and the server exits 0."""
import json
import signal
import socket
import threading
import time

import pytest

import serve_harness


# With one place the second request waits in the queue; with two it decodes
# beside the first. Either way it is in flight and must be answered.
@pytest.mark.parametrize("places, waiting_metric, waiting", [
    (1, "vclone_queue_depth", 1),
    (2, "vclone_synthesis_active", 2),
], ids=["queued", "side by side"])
def test_sigterm_finishes_the_requests_in_flight(paths, tmp_path, places, waiting_metric, waiting):
    server = serve_harness.Server(paths, str(tmp_path / "voices"), extra_args=["--parallel", str(places)])
    try:
        with open(paths["reference"], "rb") as f:
            assert server.request("POST", "/v1/voices?name=ref", body=f.read())[0] == 201
        answers = {}

        def client(name, **fields):
            body = dict(input="Hello there, how are you?", voice="ref", seed=2, **fields)
            answers[name] = server.request("POST", "/v1/audio/speech", body=body, timeout=300)

        running = threading.Thread(target=client, args=("whole",), kwargs={"max_codes": 150})
        running.start()
        deadline = time.monotonic() + 60
        while server.metric("vclone_synthesis_active") != 1 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert server.metric("vclone_synthesis_active") == 1
        queued = threading.Thread(target=client, args=("stream",), kwargs={"max_codes": 30, "stream": True})
        queued.start()
        while server.metric(waiting_metric) != waiting and time.monotonic() < deadline:
            time.sleep(0.05)
        assert server.metric(waiting_metric) == waiting

        server.process.send_signal(signal.SIGTERM)
        refused = False
        while not refused and time.monotonic() < deadline:
            try:
                socket.create_connection((serve_harness.HOST, server.port), timeout=1).close()
                time.sleep(0.05)
            except ConnectionRefusedError:
                refused = True
        assert refused, "still accepting connections after SIGTERM"
        assert running.is_alive()  # refused while the first request was still running

        running.join(300)
        queued.join(300)
        status, headers, body = answers["whole"]
        assert status == 200 and headers["Content-Type"] == "audio/wav" and len(body) > 44
        status, headers, body = answers["stream"]
        assert status == 200 and body[:4] == b"RIFF" and len(body) > 44
        assert server.process.wait(60) == 0
        assert any("SIGTERM" in line for line in server.log)
    finally:
        server.stop()
