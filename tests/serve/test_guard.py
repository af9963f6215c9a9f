"""What one client may cost `vclone serve`: uploads whose headers claim
gigabytes, slow clients, slow stream readers, requests from other origins or
to other host names, blank texts, and a listening address beyond loopback
without a key. One server with tight limits serves the whole program."""
import json
import os
import socket
import struct
import subprocess
import threading
import time
import wave

import pytest

import serve_harness

MAX_CONNECTIONS = 24
WRITE_TIMEOUT = 2
HEADER_TIMEOUT = 3
UPLOAD_LIMIT = 4 << 20
ALLOWED_ORIGIN = "http://app.example:3000"


@pytest.fixture(scope="module")
def server(paths, tmp_path_factory):
    folder = tmp_path_factory.mktemp("guard")
    running = serve_harness.Server(paths, str(folder / "voices"), [
        "--max-connections", str(MAX_CONNECTIONS), "--write-timeout", str(WRITE_TIMEOUT),
        "--header-timeout", str(HEADER_TIMEOUT), "--max-upload-bytes", str(UPLOAD_LIMIT),
        "--cors-origin", ALLOWED_ORIGIN, "--max-queue", "4"])
    with open(paths["reference"], "rb") as f:
        status, _, body = running.request("POST", "/v1/voices?name=ref", body=f.read(),
                                          headers={"Content-Type": "audio/wav"})
    assert status == 201, body
    yield running
    assert running.stop() == 0, "\n".join(running.log)


def speech(**fields):
    return {"input": "Hello there.", "voice": "ref", "max_codes": 20, "seed": 1, **fields}


# ---- Uploads: refused from their headers, and bounded in memory -------------

def crc8(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


CRC16_TABLE = []
for _i in range(256):
    _c = _i << 8
    for _ in range(8):
        _c = ((_c << 1) ^ 0x8005) & 0xFFFF if _c & 0x8000 else (_c << 1) & 0xFFFF
    CRC16_TABLE.append(_c)


def crc16(data):
    crc = 0
    for byte in data:
        crc = ((crc << 8) & 0xFFFF) ^ CRC16_TABLE[(crc >> 8) ^ byte]
    return crc


def coded_number(n):
    """A FLAC frame number, coded as UTF-8 extends to 36 bits."""
    if n < 0x80:
        return bytes([n])
    for length, lead in ((2, 0xC0), (3, 0xE0), (4, 0xF0), (5, 0xF8), (6, 0xFC), (7, 0xFE)):
        if n < 1 << (5 * length + 1):
            tail = [0x80 | ((n >> (6 * i)) & 0x3F) for i in range(length - 1)][::-1]
            return bytes([lead | (n >> (6 * (length - 1)))] + tail)
    raise ValueError(n)


def silent_flac(rate, channels, seconds, block=4096):
    """A FLAC of silence: every frame holds one constant subframe per channel,
    so minutes at any rate take a few bytes per frame (1-2 MB in all)."""
    frames = int(rate * seconds)
    info = struct.pack(">HH", block, block) + b"\0\0\0\0\0\0"
    packed = (rate << 44) | ((channels - 1) << 41) | (15 << 36) | frames
    info += packed.to_bytes(8, "big") + bytes(16)
    out = [b"fLaC", bytes([0x80, 0, 0, len(info)]), info]
    for number in range((frames + block - 1) // block):
        size = min(block, frames - number * block)
        header = bytes([0xFF, 0xF8, 0x70, (channels - 1) << 4]) + coded_number(number) + struct.pack(">H", size - 1)
        frame = header + bytes([crc8(header)]) + b"\0\0\0" * channels
        out.append(frame + struct.pack(">H", crc16(frame)))
    return b"".join(out)


def many_channel_wav(channels, rate, seconds):
    import io
    buffer = io.BytesIO()
    with wave.open(buffer, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(2 * channels * int(rate * seconds)))
    return buffer.getvalue()


def memory_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


UPLOADS = [
    # name, recording, status
    ("599 s of 384 kHz stereo", lambda: silent_flac(384000, 2, 599), 413),
    ("599 s of 384 kHz, 8 channels", lambda: silent_flac(384000, 8, 599), 413),
    ("599 s of 192 kHz, 8 channels", lambda: silent_flac(192000, 8, 599), 413),
    ("16 channels", lambda: many_channel_wav(16, 16000, 1), 413),
    # The first long reference a server decodes: the heap grows for it, so
    # this is the case nearest the bound.
    ("599 s of 48 kHz stereo", lambda: silent_flac(48000, 2, 599, block=1024), 201),
    ("149 s of 192 kHz stereo", lambda: silent_flac(192000, 2, 149), 201),
]


@pytest.mark.parametrize("name,make,status", UPLOADS,
                         ids=[u[0] for u in UPLOADS])
def test_uploads_are_bounded_before_decoding(server, name, make, status):
    recording = make()
    assert len(recording) < UPLOAD_LIMIT
    pid = server.process.pid
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")  # restarts the peak resident size from the present one
    idle = memory_kb(pid, "VmRSS")
    voice = "upload-" + "".join(c if c.isalnum() else "-" for c in name)
    got, _, body = server.request("POST", "/v1/voices?name=" + voice, body=recording,
                                  headers={"Content-Type": "audio/flac"}, timeout=300)
    peak = memory_kb(pid, "VmHWM")
    assert got == status, body
    if status == 413:
        assert json.loads(body)["error"]["param"] == "file"
    else:
        server.request("DELETE", "/v1/voices/" + voice)
    print(f"{name}: {(peak - idle) / 1024:.0f} MB above idle")
    assert (peak - idle) / 1024 <= 200, f"{name}: {len(recording) / 1e6:.1f} MB upload took {(peak - idle) / 1024:.0f} MB"


def test_bodies_are_bounded_per_route_before_they_are_read(server):
    # Only the headers are sent: the answer must come without the body.
    cases = [
        ("POST /v1/audio/speech", "application/json", 1 << 20, 413),
        ("POST /v1/voices", "audio/wav", UPLOAD_LIMIT + 1, 413),
        ("DELETE /v1/voices/ref", "application/json", 1000, 413),
    ]
    for line, content_type, length, status in cases:
        with socket.create_connection((serve_harness.HOST, server.port), timeout=10) as s:
            s.sendall(f"{line} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {content_type}\r\n"
                      f"Content-Length: {length}\r\n\r\n".encode())
            answer = s.recv(65536).decode(errors="replace")
        assert answer.startswith(f"HTTP/1.1 {status}"), (line, answer)
    # A chunked body has no declared length: it is cut off at the limit.
    with socket.create_connection((serve_harness.HOST, server.port), timeout=30) as s:
        s.sendall(b"POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                  b"Transfer-Encoding: chunked\r\n\r\n")
        chunk = b"x" * 65536
        answer = b""
        try:
            for _ in range(64):
                s.sendall(b"%x\r\n%s\r\n" % (len(chunk), chunk))
        except OSError:
            pass
        answer = s.recv(65536)
    assert answer.startswith(b"HTTP/1.1 413"), answer[:200]
    assert server.request("GET", "/healthz")[0] == 200


# ---- Slow clients -----------------------------------------------------------

def probe_seconds(server, path="/healthz"):
    start = time.monotonic()
    status = server.request("GET", path, timeout=5)[0]
    return status, time.monotonic() - start


def test_slow_clients_do_not_starve_the_probes(server):
    """64 clients each send a request one byte a second; /healthz and /metrics
    keep answering within a second, and the slow clients are cut off."""
    clients = []
    for _ in range(64):
        s = socket.create_connection((serve_harness.HOST, server.port), timeout=10)
        s.sendall(b"P")
        clients.append(s)
    trickle = b"OST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    worst = 0
    deadline = time.monotonic() + HEADER_TIMEOUT + 3
    position = 0
    while time.monotonic() < deadline:
        for s in clients:
            try:
                s.sendall(trickle[position:position + 1])
            except OSError:
                pass
        position += 1
        for path in ("/healthz", "/metrics"):
            status, seconds = probe_seconds(server, path)
            assert status == 200
            worst = max(worst, seconds)
        time.sleep(0.5)
    assert worst < 1.0, f"a probe took {worst:.2f} s"
    # Past the header deadline every slow client has been answered or cut off.
    for s in clients:
        s.settimeout(5)
        try:
            data = s.recv(4096)
        except OSError:
            data = b""
        assert data == b"" or data.startswith(b"HTTP/1.1 503") or data.startswith(b"HTTP/1.1 400"), data[:100]
        s.close()
    status, _, body = server.request("POST", "/v1/audio/speech", body=speech())
    assert status == 200, body


def test_a_slow_stream_reader_is_dropped_and_its_place_goes_to_the_next(server):
    cancelled = 'vclone_syntheses_total{outcome="cancelled"}'
    before = server.metric(cancelled)
    dropped = server.metric("vclone_connections_dropped_total")
    slow = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    slow.connect((serve_harness.HOST, server.port))
    body = json.dumps(speech(max_codes=606, stream=True)).encode()
    slow.sendall(b"POST /v1/audio/speech HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                 b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
    # Reads 1 KB every quarter second: 4 KB/s, a twelfth of the audio's pace.
    stop = threading.Event()

    def read_slowly():
        slow.settimeout(1)
        while not stop.is_set():
            try:
                if not slow.recv(1024):
                    break
            except socket.timeout:
                pass
            except OSError:
                break
            time.sleep(0.25)

    reader = threading.Thread(target=read_slowly, daemon=True)
    reader.start()
    try:
        deadline = time.monotonic() + 120
        while server.metric(cancelled) == before and time.monotonic() < deadline:
            time.sleep(0.5)
        assert server.metric(cancelled) == before + 1, "the slow reader kept its synthesis"
        assert server.metric("vclone_connections_dropped_total") == dropped + 1
        status, _, answer = server.request("POST", "/v1/audio/speech", body=speech(), timeout=120)
        assert status == 200 and len(answer) > 44
    finally:
        stop.set()
        reader.join(5)
        slow.close()


# ---- Who may ask ------------------------------------------------------------

def form_body():
    boundary = "b0undary"
    body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"input\"\r\n\r\nHello\r\n"
            f"--{boundary}\r\nContent-Disposition: form-data; name=\"voice\"\r\n\r\nref\r\n--{boundary}--\r\n")
    return body, "multipart/form-data; boundary=" + boundary


ORIGIN_CASES = [
    # name, method, path, headers, body, status
    ("form post as text/plain", "POST", "/v1/audio/speech", {"Content-Type": "text/plain"},
     json.dumps(speech()), 415),
    ("form post url-encoded", "POST", "/v1/audio/speech", {"Content-Type": "application/x-www-form-urlencoded"},
     "input=Hello&voice=ref", 415),
    ("form post multipart", "POST", "/v1/audio/speech", {"Content-Type": form_body()[1]}, form_body()[0], 415),
    ("no content type", "POST", "/v1/audio/speech", {}, json.dumps(speech()), 415),
    ("json from a foreign page", "POST", "/v1/audio/speech",
     {"Content-Type": "application/json", "Origin": "http://evil.example"}, json.dumps(speech()), 403),
    ("upload from a foreign page", "POST", "/v1/voices?name=planted",
     {"Content-Type": "multipart/form-data; boundary=x", "Origin": "http://evil.example"},
     "--x\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.wav\"\r\n\r\nRIFF\r\n--x--\r\n", 403),
    ("preflight from a foreign page", "OPTIONS", "/v1/audio/speech",
     {"Origin": "http://evil.example", "Access-Control-Request-Method": "POST"}, None, 403),
    ("rebound host name", "POST", "/v1/audio/speech",
     {"Content-Type": "application/json", "Host": "rebind.attacker.example:8080"}, json.dumps(speech()), 421),
    ("rebound host reads voices", "GET", "/v1/voices", {"Host": "attacker.example"}, None, 421),
    ("preflight from the allowed page", "OPTIONS", "/v1/audio/speech",
     {"Origin": ALLOWED_ORIGIN, "Access-Control-Request-Method": "POST"}, None, 204),
    ("voices from the allowed page", "GET", "/v1/voices", {"Origin": ALLOWED_ORIGIN}, None, 200),
    ("localhost by name", "GET", "/v1/voices", {"Host": "localhost:1234"}, None, 200),
    ("loopback over IPv6", "GET", "/v1/voices", {"Host": "[::1]:1234"}, None, 200),
]


@pytest.mark.parametrize("name,method,path,headers,body,status", ORIGIN_CASES, ids=[c[0] for c in ORIGIN_CASES])
def test_only_this_machine_and_named_origins_may_call(server, name, method, path, headers, body, status):
    got, answer_headers, answer = server.request(method, path, body=body, headers=headers)
    assert got == status, answer
    origin = headers.get("Origin")
    if origin == ALLOWED_ORIGIN:
        assert answer_headers.get("Access-Control-Allow-Origin") == ALLOWED_ORIGIN
    else:
        assert "Access-Control-Allow-Origin" not in answer_headers
    if status >= 400:
        assert json.loads(answer)["error"]["message"]
    assert server.request("GET", "/v1/voices")[2].count(b"planted") == 0


@pytest.mark.parametrize("text", ["\u00a0", "\u3000\u3000", " \u2003\u200b\ufeff\n", "\u205f\u00a0 \t"])
def test_unicode_blank_text_is_refused(server, text):
    status, _, body = server.request("POST", "/v1/audio/speech", body=speech(input=text))
    assert status == 400, body
    assert json.loads(body)["error"]["param"] == "input"


@pytest.mark.parametrize("host", ["0.0.0.0", "::", "192.0.2.1"])
def test_listening_beyond_loopback_needs_a_key(paths, tmp_path, host):
    # Refused before binding: nothing ever listens beyond loopback here.
    result = subprocess.run([serve_harness.VCLONE_BIN, "serve", "--model", paths["model"], "--vocab",
                             paths["vocab"], "--voices", str(tmp_path / "voices"), "--host", host,
                             "--port", "0"], capture_output=True, text=True, timeout=30)
    assert result.returncode == 2
    assert "--api-key-file" in result.stderr and "--allow-no-key" in result.stderr
