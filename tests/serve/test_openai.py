"""What OpenAI-style clients send and expect of `vclone serve`: the official
Node client asking for every format, server-sent events, voice objects, the
built-in voice names, the model and voice listings, and voices kept loaded.
One server with --default-voice for the whole program; every answer is
decoded by Debian's ffmpeg."""
import base64
import json
import os
import subprocess
import tempfile

import pytest

import serve_harness

KEY = "openai-test-key"
AUTH = {"Authorization": "Bearer " + KEY}
# The random model never stops early, so every request bounds its codes.
SHORT = {"max_codes": 20, "seed": 3}
CLIENT_DIR = os.path.join(serve_harness.SOURCE_DIR, "tests", "serve", "openai_client")

# Samples a decoder may give beyond the input's: MP3 files carry their delay
# and padding, MP3 streams cannot (LAME's 1105 samples and a partial 576-sample
# frame); ADTS carries neither (1024 of priming and a partial 1024-sample frame).
EXTRA_SAMPLES = {"wav": 0, "pcm": 0, "flac": 0, "opus": 0, "mp3": 0, "aac": 2047}
EXTRA_STREAMED = dict(EXTRA_SAMPLES, mp3=1105 + 576)
MIME = {"wav": "audio/wav", "pcm": "audio/pcm", "flac": "audio/flac", "opus": "audio/ogg",
        "mp3": "audio/mpeg", "aac": "audio/aac"}


@pytest.fixture(scope="module")
def server(paths, tmp_path_factory):
    folder = tmp_path_factory.mktemp("openai")
    key_file = folder / "key"
    key_file.write_text(KEY + "\n")
    voices = folder / "voices"
    running = serve_harness.Server(paths, str(voices),
                                   ["--api-key-file", str(key_file), "--default-voice", "ref"])
    running.voices_dir = str(voices)
    with open(paths["reference"], "rb") as f:
        status, _, body = running.request("POST", "/v1/voices?name=ref", body=f.read(),
                                          headers=dict(AUTH, **{"Content-Type": "audio/wav"}))
    assert status == 201, body
    yield running
    assert running.stop() == 0, "\n".join(running.log)


def speak(server, **fields):
    body = {**SHORT, "input": "Hello there, how are you?", "voice": "ref", **fields}
    return server.request("POST", "/v1/audio/speech", body=body, headers=AUTH, timeout=300)


def decode(data, fmt):
    """16-bit mono samples at 24 kHz, as ffmpeg decodes the bytes."""
    with tempfile.NamedTemporaryFile(suffix="." + fmt) as f:
        f.write(data)
        f.flush()
        raw_input = ["-f", "s16le", "-ar", "24000", "-ac", "1"] if fmt == "pcm" else []
        result = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", *raw_input, "-i", f.name,
                                 "-f", "s16le", "-ac", "1", "-ar", "24000", "-"],
                                capture_output=True, check=True)
    return result.stdout


def pcm_difference(a, b):
    """The largest difference between two 16-bit PCM strings of one length."""
    import array
    x, y = array.array("h", a), array.array("h", b)
    assert len(x) == len(y)
    return max((abs(p - q) for p, q in zip(x, y)), default=0)


def sse_events(data):
    return [json.loads(line[len("data: "):]) for line in data.decode().split("\n")
            if line.startswith("data: ")]


def test_the_openai_client_gets_every_format(server, tmp_path):
    node_modules = os.path.join(CLIENT_DIR, "node_modules", "openai")
    assert os.path.isdir(node_modules), "run scripts/install_deps.sh: the openai npm client is missing"
    result = subprocess.run(["node", os.path.join(CLIENT_DIR, "speech_client.js"),
                             f"http://127.0.0.1:{server.port}/v1", KEY, "ref", str(tmp_path)],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    summary = json.loads(result.stdout)
    assert summary["models"] == ["vclone-f32"]

    pcm = (tmp_path / "pcm.pcm").read_bytes()
    assert len(pcm) > 0
    for fmt, mime in MIME.items():
        for streamed in (False, True):
            name = f"{fmt}{'-stream' if streamed else ''}.{fmt}"
            assert summary["files"][name] == mime, name
            decoded = decode((tmp_path / name).read_bytes(), fmt)
            extra = (EXTRA_STREAMED if streamed else EXTRA_SAMPLES)[fmt] * 2
            # Never shorter (the last page or frame is there), longer only by the codec's padding.
            assert len(pcm) <= len(decoded) <= len(pcm) + extra, (name, len(decoded) // 2, len(pcm) // 2)
            if fmt in ("wav", "pcm", "flac"):
                # The streamed vocoder matches the whole call up to float rounding.
                assert pcm_difference(decoded, pcm) <= (1 if streamed else 0), name
    wav = (tmp_path / "wav.wav").read_bytes()
    assert wav[44:] == pcm
    assert (tmp_path / "wav-stream.wav").read_bytes()[40:44] == b"\xff\xff\xff\xff"
    assert (tmp_path / "voice-object.pcm").read_bytes() == pcm

    assert summary["errors"]["unknown voice"] == {"status": 404, "code": "voice_not_found", "param": "voice"}
    assert summary["errors"]["unknown format"] == {"status": 400, "code": "unsupported_response_format",
                                                   "param": "response_format"}


def test_server_sent_events_carry_the_streamed_audio(server):
    fields = dict(max_codes=40, seed=9)  # a first chunk after 12 codes, then the rest
    status, headers, streamed = speak(server, response_format="pcm", stream=True, **fields)
    assert status == 200
    status, headers, body = speak(server, response_format="pcm", stream_format="sse", **fields)
    assert status == 200 and headers["Content-Type"] == "text/event-stream"
    events = sse_events(body)
    deltas = [e for e in events if e["type"] == "speech.audio.delta"]
    assert len(deltas) >= 2 and events[-1]["type"] == "speech.audio.done"
    assert [e["type"] for e in events[:-1]] == ["speech.audio.delta"] * (len(events) - 1)
    joined = b"".join(base64.b64decode(e["audio"]) for e in deltas)
    assert joined == streamed
    usage = events[-1]["usage"]
    assert usage["output_samples"] * 2 == len(joined) and usage["input_characters"] == 25

    # Events of a compressed format join into a file that decodes whole.
    status, _, body = speak(server, response_format="opus", stream_format="sse", **fields)
    assert status == 200
    opus = b"".join(base64.b64decode(e["audio"]) for e in sse_events(body)
                    if e["type"] == "speech.audio.delta")
    assert len(decode(opus, "opus")) == len(streamed)


def test_builtin_names_speak_in_the_default_voice(server):
    status, _, own = speak(server, response_format="pcm")
    assert status == 200
    for voice in ("alloy", {"id": "cedar"}):
        status, _, answer = speak(server, response_format="pcm", voice=voice)
        assert status == 200 and answer == own

    status, _, body = server.request("GET", "/v1/audio/voices", headers=AUTH)
    assert status == 200
    voices = {v["id"]: v for v in json.loads(body)["voices"]}
    assert "en" in voices["ref"]["languages"] and voices["ref"]["name"] == "ref"
    assert voices["alloy"]["alias_of"] == "ref" and "shimmer" in voices


def test_models_are_listed_and_any_model_name_is_accepted(server):
    status, _, body = server.request("GET", "/v1/models", headers=AUTH)
    assert status == 200
    listing = json.loads(body)
    assert listing["object"] == "list"
    assert [(m["id"], m["object"]) for m in listing["data"]] == [("vclone-f32", "model")]
    status, _, body = server.request("GET", "/v1/models/vclone-f32", headers=AUTH)
    assert status == 200 and json.loads(body)["id"] == "vclone-f32"
    status, _, body = server.request("GET", "/v1/models/tts-1", headers=AUTH)
    assert status == 404 and json.loads(body)["error"]["code"] == "model_not_found"
    assert speak(server, model="gpt-4o-mini-tts", response_format="pcm")[0] == 200


def cache_counts(server):
    return {result: server.metric(f'vclone_voice_cache_total{{result="{result}"}}')
            for result in ("hit", "loaded", "reloaded")}


def test_a_voice_stays_loaded_until_its_file_changes(server, paths):
    with open(paths["reference"], "rb") as f:
        reference = f.read()
    status, _, _ = server.request("POST", "/v1/voices?name=warm", body=reference,
                                  headers=dict(AUTH, **{"Content-Type": "audio/wav"}))
    assert status == 201

    def delta(**fields):
        before = cache_counts(server)
        assert speak(server, voice="warm", response_format="pcm", **fields)[0] == 200
        after = cache_counts(server)
        return {k: after[k] - before[k] for k in after if after[k] != before[k]}

    assert delta() == {"loaded": 1}
    assert delta(stream=True) == {"hit": 1}  # the same voice object: its conditioning is kept
    path = os.path.join(server.voices_dir, "warm.vcv")
    stat = os.stat(path)
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1_000_000_000))
    assert delta() == {"reloaded": 1}
    assert delta() == {"hit": 1}

    # Deleted and made again under the same name: read from the new file.
    assert server.request("DELETE", "/v1/voices/warm", headers=AUTH)[0] == 200
    assert speak(server, voice="warm")[0] == 404
    status, _, _ = server.request("POST", "/v1/voices?name=warm", body=reference,
                                  headers=dict(AUTH, **{"Content-Type": "audio/wav"}))
    assert status == 201
    assert delta() == {"loaded": 1}
