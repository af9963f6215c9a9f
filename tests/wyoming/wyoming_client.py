"""A Wyoming protocol client for the tests, written from the protocol: one
JSON header line per event ({"type", "data"?, "data_length"?,
"payload_length"?, "version"}), then data_length bytes of JSON merged over
"data", then payload_length bytes of payload."""
import json
import socket
from dataclasses import dataclass, field

HOST = "127.0.0.1"
VERSION = "1.5.2"


@dataclass
class Event:
    type: str
    data: dict = field(default_factory=dict)
    payload: bytes = b""


def encode(event_type, data=None, payload=b"", inline=False):
    """The bytes of one event; `inline` puts the data in the header line."""
    header = {"type": event_type, "version": VERSION}
    data_bytes = b""
    if data:
        if inline:
            header["data"] = data
        else:
            data_bytes = json.dumps(data).encode()
            header["data_length"] = len(data_bytes)
    if payload:
        header["payload_length"] = len(payload)
    return json.dumps(header).encode() + b"\n" + data_bytes + payload


class Client:
    def __init__(self, port, timeout=120):
        self.sock = socket.create_connection((HOST, port), timeout=timeout)
        self.reader = self.sock.makefile("rb")

    def close(self):
        self.reader.close()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def send(self, event_type, data=None, payload=b"", inline=False):
        self.sock.sendall(encode(event_type, data, payload, inline))

    def send_raw(self, data):
        self.sock.sendall(data)

    def _exactly(self, count):
        data = self.reader.read(count)
        if len(data) != count:
            raise EOFError(f"connection ended {len(data)} bytes into {count}")
        return data

    def read(self):
        """The next event, or None when the server closed the connection."""
        try:
            line = self.reader.readline(1 << 20)
        except ConnectionResetError:
            return None
        if not line:
            return None
        header = json.loads(line)
        data = dict(header.get("data") or {})
        if header.get("data_length"):
            data.update(json.loads(self._exactly(header["data_length"])))
        payload = self._exactly(header["payload_length"]) if header.get("payload_length") else b""
        return Event(header["type"], data, payload)

    def read_until(self, *types):
        """Events up to and including the first of `types`."""
        events = []
        while True:
            event = self.read()
            if event is None:
                raise EOFError(f"connection closed before {types}; got {[e.type for e in events]}")
            events.append(event)
            if event.type in types:
                return events

    def read_audio(self):
        """One audio-start .. audio-stop: (start event, chunk events, PCM
        bytes); an error event instead is raised."""
        events = self.read_until("audio-stop", "error")
        if events[-1].type == "error":
            raise RuntimeError(f"error event: {events[-1].data}")
        assert events[0].type == "audio-start", [e.type for e in events]
        chunks = [e for e in events if e.type == "audio-chunk"]
        assert [e.type for e in events[1:-1]] == ["audio-chunk"] * len(chunks)
        return events[0], chunks, b"".join(e.payload for e in chunks)

    def synthesize(self, text, voice=None):
        data = {"text": text}
        if voice is not None:
            data["voice"] = voice
        self.send("synthesize", data)
        return self.read_audio()
