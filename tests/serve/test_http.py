"""The endpoints of `vclone serve` on the random full-size model: one server,
with an API key and a queue of two, for the whole program."""
import io
import json
import os
import shutil
import socket
import struct
import subprocess
import threading
import time
import wave

import pytest

import serve_harness

KEY = "test-key-7"
AUTH = {"Authorization": "Bearer " + KEY}
# The random model never stops early, so every request bounds its codes.
SHORT = {"max_codes": 20, "seed": 3}
MAX_QUEUE = 2


@pytest.fixture(scope="module")
def server(paths, tmp_path_factory):
    folder = tmp_path_factory.mktemp("serve")
    key_file = folder / "key"
    key_file.write_text(KEY + "\n")
    voices = folder / "voices"
    running = serve_harness.Server(paths, str(voices),
                                   ["--api-key-file", str(key_file), "--max-queue", str(MAX_QUEUE)])
    running.voices_dir = str(voices)
    yield running
    assert running.stop() == 0, "\n".join(running.log)


@pytest.fixture(scope="module")
def voice(server, paths):
    with open(paths["reference"], "rb") as f:
        status, _, body = server.request("POST", "/v1/voices?name=ref", body=f.read(),
                                         headers=dict(AUTH, **{"Content-Type": "audio/wav"}))
    assert status == 201, body
    assert json.loads(body)["id"] == "ref"
    return "ref"


def speak(server, voice, stream=False, response_format="wav", **fields):
    body = {**SHORT, "input": "Hello there, how are you?", "voice": voice, "language": "en",
            "response_format": response_format, "stream": stream, **fields}
    return server.request("POST", "/v1/audio/speech", body=body, headers=AUTH, timeout=300)


def wav_samples(data):
    """The samples of a whole 24 kHz mono 16-bit WAV, checking its header."""
    with wave.open(io.BytesIO(data)) as w:
        assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (1, 2, 24000)
        return w.readframes(w.getnframes())


def multipart(fields, boundary="vclone-test-boundary"):
    """A multipart/form-data body: fields maps a name to text or (filename, bytes)."""
    parts = []
    for name, value in fields.items():
        if isinstance(value, tuple):
            head = f'Content-Disposition: form-data; name="{name}"; filename="{value[0]}"\r\n' \
                   "Content-Type: application/octet-stream\r\n\r\n"
            parts.append(b"--" + boundary.encode() + b"\r\n" + head.encode() + value[1] + b"\r\n")
        else:
            head = f'Content-Disposition: form-data; name="{name}"\r\n\r\n'
            parts.append(b"--" + boundary.encode() + b"\r\n" + head.encode() + value.encode() + b"\r\n")
    body = b"".join(parts) + b"--" + boundary.encode() + b"--\r\n"
    return body, {"Content-Type": "multipart/form-data; boundary=" + boundary}


def test_page_health_languages_and_metrics_are_served(server):
    status, headers, body = server.request("GET", "/")
    assert status == 200 and headers["Content-Type"].startswith("text/html")
    assert b'id="speak"' in body and b"/v1/audio/speech" in body

    status, _, body = server.request("GET", "/healthz")
    assert (status, json.loads(body)) == (200, {"status": "ok"})

    status, _, body = server.request("GET", "/v1/languages", headers=AUTH)
    assert status == 200 and "en" in json.loads(body)["languages"]

    before = server.metric('vclone_requests_total{endpoint="GET /healthz",status="200"}')
    server.request("GET", "/healthz")
    status, headers, body = server.request("GET", "/metrics")
    assert status == 200 and headers["Content-Type"].startswith("text/plain")
    text = body.decode()
    for series in ("vclone_queue_depth", "vclone_synthesis_seconds_total", "vclone_audio_seconds_total",
                   "vclone_time_to_first_audio_seconds_count", "vclone_model_loaded 1"):
        assert series in text
    assert server.metric('vclone_requests_total{endpoint="GET /healthz",status="200"}') == before + 1


def test_speech_as_wav_and_as_pcm_carries_the_same_samples(server, voice):
    status, headers, body = speak(server, voice, model="tts-1", unknown_field={"ignored": True})
    assert status == 200, body
    assert headers["Content-Type"] == "audio/wav"
    samples = wav_samples(body)
    assert len(samples) > 0 and any(samples)

    status, headers, pcm = speak(server, voice, response_format="pcm")
    assert status == 200 and headers["Content-Type"] == "audio/pcm"
    assert pcm == samples  # same seed: the same audio without the header


def test_stream_sends_audio_before_the_synthesis_ends(server, voice):
    body = dict(input="Hello there, how are you?", voice=voice, stream=True, seed=3, max_codes=120)
    connection = server.connection(300)
    connection.request("POST", "/v1/audio/speech", body=json.dumps(body),
                       headers=dict(AUTH, **{"Content-Type": "application/json"}))
    response = connection.getresponse()
    assert response.status == 200 and response.getheader("Transfer-Encoding") == "chunked"
    first = response.read1(65536)
    while len(first) < 46:
        first += response.read1(65536)
    # The first audio is out while the model is still decoding the rest.
    assert server.metric("vclone_synthesis_active", AUTH) == 1
    data = first + response.read()
    connection.close()
    assert data[:4] == b"RIFF" and data[36:40] == b"data"
    assert struct.unpack("<I", data[40:44])[0] == 0xFFFFFFFF  # length unknown when it started
    status, _, whole = speak(server, voice, max_codes=120)
    assert status == 200
    assert len(data) - 44 == len(wav_samples(whole))
    assert server.metric("vclone_time_to_first_audio_seconds_count") >= 1


def test_voices_are_added_listed_used_and_deleted(server, voice, paths):
    with open(paths["reference"], "rb") as f:
        reference = f.read()
    body, headers = multipart({"file": ("me.wav", reference), "name": "uploaded_1"})
    status, _, answer = server.request("POST", "/v1/voices", body=body, headers=dict(AUTH, **headers))
    assert (status, json.loads(answer)["id"]) == (201, "uploaded_1")

    body, headers = multipart({"file": ("me.wav", reference)})
    status, _, answer = server.request("POST", "/v1/voices", body=body, headers=dict(AUTH, **headers))
    assert status == 201
    unnamed = json.loads(answer)["id"]

    status, _, answer = server.request("POST", "/v1/voices?name=uploaded_1", body=reference, headers=AUTH)
    assert status == 409 and json.loads(answer)["error"]["param"] == "name"

    # A voice that `vclone voice` saved into the folder is served as well.
    subprocess.run([serve_harness.VCLONE_BIN, "voice", "--model", paths["model"], "--vocab", paths["vocab"],
                    "--ref", paths["reference"], "--out", os.path.join(server.voices_dir, "copied.vcv")],
                   check=True, timeout=300, stderr=subprocess.DEVNULL)
    status, _, answer = server.request("GET", "/v1/voices", headers=AUTH)
    ids = [v["id"] for v in json.loads(answer)["data"]]
    assert status == 200 and {"ref", "uploaded_1", unnamed, "copied"} <= set(ids)
    assert speak(server, "copied")[0] == 200

    for id_ in ("uploaded_1", unnamed, "copied"):
        assert server.request("DELETE", "/v1/voices/" + id_, headers=AUTH)[0] == 200
    assert server.request("DELETE", "/v1/voices/copied", headers=AUTH)[0] == 404
    assert speak(server, "copied")[0] == 404
    assert not os.path.exists(os.path.join(server.voices_dir, "copied.vcv"))


def test_voice_names_cannot_leave_the_folder(server, paths):
    outside = os.path.join(os.path.dirname(server.voices_dir), "outside.vcv")
    shutil.copy(os.path.join(server.voices_dir, "ref.vcv"), outside)
    with open(paths["reference"], "rb") as f:
        reference = f.read()
    status, _, answer = server.request("POST", "/v1/voices?name=..%2Fescaped", body=reference, headers=AUTH)
    assert status == 400 and json.loads(answer)["error"]["param"] == "name"
    assert speak(server, "../outside")[0] == 404
    assert server.request("DELETE", "/v1/voices/..%2Foutside", headers=AUTH)[0] in (400, 404)
    assert server.request("DELETE", "/v1/voices/.hidden", headers=AUTH)[0] == 400
    assert os.path.exists(outside)
    assert not os.path.exists(os.path.join(os.path.dirname(server.voices_dir), "escaped.vcv"))


def speech_body(**fields):
    return {**SHORT, "input": "Hello.", "voice": "ref", **fields}


NOT_AUDIO_WAV = b"RIFF\x24\x00\x00\x00WAVEfmt " + b"\x00" * 40 + b"this is not audio at all" * 10

BAD_REQUESTS = [
    # name, method, path, body, headers, status, param
    ("malformed json", "POST", "/v1/audio/speech", b'{"input": "Hi", ',
     dict(AUTH, **{"Content-Type": "application/json"}), 400, None),
    ("body not an object", "POST", "/v1/audio/speech", [1, 2], None, 400, None),
    ("missing input", "POST", "/v1/audio/speech", {"voice": "ref"}, None, 400, "input"),
    ("blank input", "POST", "/v1/audio/speech", speech_body(input="  "), None, 400, "input"),
    ("input not text", "POST", "/v1/audio/speech", speech_body(input=5), None, 400, "input"),
    ("missing voice", "POST", "/v1/audio/speech", {"input": "Hi"}, None, 400, "voice"),
    ("unknown voice", "POST", "/v1/audio/speech", speech_body(voice="nobody"), None, 404, "voice"),
    ("voice as a path", "POST", "/v1/audio/speech", speech_body(voice="../voices/ref"), None, 404, "voice"),
    ("unknown language", "POST", "/v1/audio/speech", speech_body(language="xx"), None, 400, "language"),
    ("unknown format", "POST", "/v1/audio/speech", speech_body(response_format="m4a"), None, 400, "response_format"),
    ("voice object without an id", "POST", "/v1/audio/speech", speech_body(voice={"name": "ref"}), None, 400, "voice"),
    ("unknown stream format", "POST", "/v1/audio/speech", speech_body(stream_format="ws"), None, 400, "stream_format"),
    ("built-in name, no default voice", "POST", "/v1/audio/speech", speech_body(voice="alloy"), None, 404, "voice"),
    ("zero temperature", "POST", "/v1/audio/speech", speech_body(temperature=0), None, 400, "temperature"),
    ("top_k as text", "POST", "/v1/audio/speech", speech_body(top_k="5"), None, 400, "top_k"),
    ("top_k fractional", "POST", "/v1/audio/speech", speech_body(top_k=2.5), None, 400, "top_k"),
    ("top_p above 1", "POST", "/v1/audio/speech", speech_body(top_p=1.5), None, 400, "top_p"),
    ("too few codes", "POST", "/v1/audio/speech", speech_body(max_codes=3), None, 400, "max_codes"),
    ("negative seed", "POST", "/v1/audio/speech", speech_body(seed=-1), None, 400, "seed"),
    ("speed too high", "POST", "/v1/audio/speech", speech_body(speed=10), None, 400, "speed"),
    ("stream not boolean", "POST", "/v1/audio/speech", speech_body(stream="yes"), None, 400, "stream"),
    ("huge text", "POST", "/v1/audio/speech", speech_body(input="word " * 1000), None, 413, "input"),
    ("huge body", "POST", "/v1/audio/speech", speech_body(padding="x" * (1 << 21)), None, 413, None),
    ("wrong api key", "GET", "/v1/voices", None, {"Authorization": "Bearer wrong"}, 401, None),
    ("no api key", "POST", "/v1/audio/speech", speech_body(), {}, 401, None),
    ("a wav that is not audio", "POST", "/v1/voices?name=broken", NOT_AUDIO_WAV, None, 400, "file"),
    ("empty upload", "POST", "/v1/voices", b"", None, 400, "file"),
    ("unknown route", "GET", "/v1/nothing", None, None, 404, None),
]


@pytest.mark.parametrize("name,method,path,body,headers,status,param", BAD_REQUESTS,
                         ids=[case[0] for case in BAD_REQUESTS])
def test_bad_requests_get_a_json_error(server, voice, name, method, path, body, headers, status, param):
    got, answer_headers, answer = server.request(method, path, body=body,
                                                 headers=AUTH if headers is None else headers)
    assert got == status, answer
    assert answer_headers["Content-Type"] == "application/json"
    error = json.loads(answer)["error"]
    assert isinstance(error["message"], str) and error["message"]
    assert isinstance(error["type"], str) and error["type"]
    assert isinstance(error["code"], str) and error["code"]
    if param:
        assert error["param"] == param and param in error["message"]
    if status == 401:
        assert answer_headers.get("WWW-Authenticate") == "Bearer"
    if name == "built-in name, no default voice":
        assert "--default-voice" in error["message"] and error["code"] == "voice_not_found"


def test_eight_clients_at_once_get_audio_or_a_busy_answer(server, voice):
    clients = 8
    start = threading.Barrier(clients)
    answers = [None] * clients

    def client(i):
        start.wait()
        answers[i] = speak(server, voice, stream=i % 2 == 1, seed=i)

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(600)
    assert not any(t.is_alive() for t in threads)

    statuses = sorted(answer[0] for answer in answers)
    assert set(statuses) <= {200, 503}, statuses
    # Four run (the default parallel places) and two wait; the rest arrive while
    # every place is taken.
    assert 1 <= statuses.count(200) <= clients - 1 and statuses.count(503) >= 1, statuses
    for status, headers, body in answers:
        if status == 200:
            data = body[44:] if headers.get("Transfer-Encoding") == "chunked" else wav_samples(body)
            assert len(data) > 0
        else:
            assert int(headers["Retry-After"]) >= 1
            assert json.loads(body)["error"]["type"] == "server_busy"
    assert server.request("GET", "/healthz")[0] == 200
    assert server.metric("vclone_queue_depth") == 0


def test_a_client_that_leaves_mid_stream_frees_the_model(server, voice):
    cancelled = 'vclone_syntheses_total{outcome="cancelled"}'
    before = server.metric(cancelled)
    body = json.dumps(dict(input="Hello there, how are you?", voice=voice, stream=True, seed=1,
                           max_codes=606))
    connection = server.connection(300)
    connection.request("POST", "/v1/audio/speech", body=body,
                       headers=dict(AUTH, **{"Content-Type": "application/json"}))
    response = connection.getresponse()
    assert response.status == 200
    assert len(response.read1(4096)) > 0
    connection.sock.shutdown(socket.SHUT_RDWR)
    connection.close()

    # The abandoned synthesis (606 codes) stops at its next chunk instead of
    # holding the model to the end; the next request then runs.
    deadline = time.monotonic() + 120
    while server.metric(cancelled) == before and time.monotonic() < deadline:
        time.sleep(0.2)
    assert server.metric(cancelled) == before + 1
    status, _, answer = speak(server, voice)
    assert status == 200 and len(wav_samples(answer)) > 0
