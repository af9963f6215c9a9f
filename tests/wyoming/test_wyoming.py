"""`vclone wyoming` through a protocol client, on the full-size random model:
describe, one-shot and streamed synthesis, refusals that leave the connection
usable, protocol errors that close it, closed connections, connections at
once and their bound."""
import os
import socket
import threading
import time

import numpy as np
import pytest

import wyoming_harness
from wyoming_client import Client, encode

SENTENCES = ["Hello there.", "How are you?", "Fine"]
MAX_TEXT_CHARS = 1000
MAX_CONNECTIONS = 3
IDLE_TIMEOUT = 3
# Several pieces of text, each MAX_CODES codes: a synthesis of some seconds.
LONG_TEXT = " ".join(["This sentence goes on for a while, so that the pieces of the text fill up."] * 10)


@pytest.fixture(scope="module")
def setup(paths, tmp_path_factory):
    voices = str(tmp_path_factory.mktemp("voices"))
    expected = wyoming_harness.make_voices(paths, voices, SENTENCES)
    server = wyoming_harness.Server(paths, voices, [
        "--default-voice", "ref", "--max-text-chars", str(MAX_TEXT_CHARS),
        "--max-connections", str(MAX_CONNECTIONS), "--idle-timeout", str(IDLE_TIMEOUT)])
    yield server, expected
    assert server.stop() == 0


@pytest.fixture
def server(setup):
    return setup[0]


@pytest.fixture
def expected(setup):
    return setup[1]


def samples_of(pcm):
    return np.frombuffer(pcm, dtype="<i2")


def assert_same_audio(pcm, reference):
    """Streamed chunks equal the whole call up to float rounding, which may
    move a truncated 16-bit sample by one step."""
    got = samples_of(pcm)
    assert len(got) == len(reference)
    assert np.max(np.abs(got.astype(np.int32) - reference.astype(np.int32))) <= 1
    assert np.count_nonzero(got) > len(got) // 2  # audio, not silence


def test_describe_lists_the_program_and_each_voice_file(server, paths):
    import vclone

    with Client(server.port) as client:
        client.send("describe")
        info = client.read()
    assert info.type == "info"
    [program] = info.data["tts"]
    assert program["name"] == "vclone"
    assert program["installed"] is True and program["supports_synthesize_streaming"] is True
    assert program["version"] == vclone.version()
    assert program["attribution"]["name"] and program["description"]
    assert [voice["name"] for voice in program["voices"]] == ["alto", "ref"]
    for voice in program["voices"]:
        assert voice["languages"] == vclone.languages(paths["vocab"])
        assert voice["installed"] is True and voice["attribution"] and voice["description"]


@pytest.mark.parametrize("voice", [{"name": "ref", "language": "en"}, {"name": "ref", "language": "en-US"}, None],
                         ids=["named", "regional language", "default voice"])
def test_one_shot_audio_equals_vclone_speak(server, expected, voice):
    with Client(server.port) as client:
        start, chunks, pcm = client.synthesize(SENTENCES[0], voice)
    audio_format = {"rate": 24000, "width": 2, "channels": 1}
    assert start.data == audio_format
    assert chunks and all(chunk.data == audio_format for chunk in chunks)
    assert_same_audio(pcm, expected[SENTENCES[0]])


def test_other_voice_sounds_different(server, expected):
    with Client(server.port) as client:
        pcm = client.synthesize(SENTENCES[0], {"name": "alto"})[2]
    assert len(samples_of(pcm)) == len(expected[SENTENCES[0]])
    assert not np.array_equal(samples_of(pcm), expected[SENTENCES[0]])


def test_streamed_text_cut_mid_word_is_spoken_sentence_by_sentence(server, expected):
    with Client(server.port, timeout=60) as client:
        client.send("synthesize-start", {"voice": {"name": "ref"}})
        client.send("synthesize-chunk", {"text": "Hel"})
        client.send("synthesize-chunk", {"text": "lo there. How a"})
        # The first sentence is spoken before the rest of the text is sent.
        first = client.read_audio()[2]
        for piece in ["re you", "? Fi", "ne"]:
            client.send("synthesize-chunk", {"text": piece})
        # The whole text, as streaming clients also send it for older
        # servers: ignored inside the stream.
        client.send("synthesize", {"text": "Hello there. How are you? Fine", "voice": {"name": "ref"}})
        client.send("synthesize-stop")
        second = client.read_audio()[2]
        third = client.read_audio()[2]
        assert client.read().type == "synthesize-stopped"
        # The connection serves a next request as usual.
        client.send("describe")
        assert client.read().type == "info"
    for pcm, sentence in zip([first, second, third], SENTENCES):
        assert_same_audio(pcm, expected[sentence])


REFUSALS = [
    ("unknown voice", {"text": "Hi.", "voice": {"name": "nobody"}}, "unknown-voice"),
    ("voice name that is no file name", {"text": "Hi.", "voice": {"name": "../ref"}}, "unknown-voice"),
    ("unknown language", {"text": "Hi.", "voice": {"name": "ref", "language": "xx"}}, "unknown-language"),
    ("voice not an object", {"text": "Hi.", "voice": "ref"}, "bad-event"),
    ("no text", {}, "bad-text"),
    ("text not a string", {"text": 5}, "bad-text"),
    ("blank text", {"text": " \t\n\u00a0\u3000\u2003\u200b\ufeff"}, "bad-text"),
    ("text over the limit", {"text": "a" * (MAX_TEXT_CHARS + 1)}, "text-too-long"),
]


def test_refused_requests_leave_the_connection_usable(server, expected):
    with Client(server.port) as client:
        for name, data, code in REFUSALS:
            client.send("synthesize", data)
            event = client.read()
            assert (name, event.type, event.data.get("code")) == (name, "error", code)
            assert event.data["text"]
        # A streamed text with an unknown voice: refused once, its text
        # dropped, and the stop still answered.
        client.send("synthesize-start", {"voice": {"name": "nobody"}})
        assert client.read().data["code"] == "unknown-voice"
        client.send("synthesize-chunk", {"text": "Dropped. Text."})
        client.send("synthesize-stop")
        assert client.read().type == "synthesize-stopped"
        # Streaming events out of order.
        client.send("synthesize-chunk", {"text": "Hi."})
        assert client.read().data["code"] == "bad-event"
        client.send("synthesize-stop")
        assert client.read().data["code"] == "bad-event"
        # After all of it, the same connection speaks.
        assert_same_audio(client.synthesize(SENTENCES[0])[2], expected[SENTENCES[0]])


MALFORMED = [
    ("not JSON", b"hello\n"),
    ("no type", b'{"data": {}}\n'),
    ("negative data_length", b'{"type": "synthesize", "data_length": -5}\n'),
    # Refused from the header: the announced bytes are never sent.
    ("data_length over the limit", b'{"type": "synthesize", "data_length": 1000000000}\n'),
    ("payload_length over the limit", b'{"type": "audio-chunk", "payload_length": 1000000000}\n'),
    ("header line without end", b'{"type": "describe", "x": "' + b"a" * 70000),
]


@pytest.mark.parametrize("data", [case[1] for case in MALFORMED], ids=[case[0] for case in MALFORMED])
def test_malformed_event_gets_an_error_and_closes(server, data):
    with Client(server.port, timeout=30) as client:
        client.send("describe")
        assert client.read().type == "info"
        client.send_raw(data)
        event = client.read()
        assert event is not None and (event.type, event.data["code"]) == ("error", "bad-event")
        assert client.read() is None


def test_payload_longer_than_the_bytes_sent(server):
    header = encode("audio-chunk", {"rate": 24000}, payload=b"x" * 1000)
    partial = header[:-990]
    # The client ends its side inside the event: the server closes.
    with Client(server.port, timeout=30) as client:
        client.send_raw(partial)
        client.sock.shutdown(socket.SHUT_WR)
        assert client.read() is None
    assert server.wait_for_log("ended inside an event", timeout=10)
    # The client stays silent: the server gives up after the idle timeout.
    with Client(server.port, timeout=30) as client:
        client.send_raw(partial)
        started = time.monotonic()
        event = client.read()
        assert (event.type, event.data["code"]) == ("error", "timeout")
        assert client.read() is None
        assert time.monotonic() - started < IDLE_TIMEOUT + 10


def test_closing_the_connection_stops_its_synthesis(server, expected):
    with Client(server.port) as client:
        client.send("synthesize", {"text": LONG_TEXT})
        events = client.read_until("audio-chunk")
        assert events[0].type == "audio-start"
    assert server.wait_for_log("the client left during a synthesis; stopped it", timeout=60)
    with Client(server.port) as client:
        assert_same_audio(client.synthesize(SENTENCES[0])[2], expected[SENTENCES[0]])


def test_two_connections_at_once(server, expected):
    results = {}

    def speak(name, sentence):
        with Client(server.port) as client:
            results[name] = client.synthesize(sentence, {"name": "ref"})[2]

    threads = [threading.Thread(target=speak, args=(i, SENTENCES[i])) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    for i in range(2):
        assert_same_audio(results[i], expected[SENTENCES[i]])


def test_connections_over_the_bound_are_refused(server):
    def admitted():
        client = Client(server.port, timeout=30)
        client.send("describe")
        event = client.read()
        return client, event is not None and event.type == "info"

    # Connections of earlier tests may take a moment to end on the server.
    for _ in range(50):
        clients = [admitted() for _ in range(MAX_CONNECTIONS)]
        if all(ok for _, ok in clients):
            break
        for client, _ in clients:
            client.close()
        time.sleep(0.2)
    try:
        with Client(server.port, timeout=30) as extra:
            event = extra.read()
            assert (event.type, event.data["code"]) == ("error", "busy")
            assert extra.read() is None
        # The admitted ones still work.
        clients[0][0].send("describe")
        assert clients[0][0].read().type == "info"
    finally:
        for client, _ in clients:
            client.close()
