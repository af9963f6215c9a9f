"""A loaded model: voices from recordings, and speech whole or streamed."""
from __future__ import annotations

import ctypes
import os
import queue
import threading
from typing import Any, Dict, Iterator, List, Optional, Union

import numpy as np

from . import _native
from ._native import NO_SEED, OPTION_FIELDS, PRECISIONS, Handle, Options, VcloneError, lib
from .voice import Voice

PathLike = Union[str, bytes, "os.PathLike[str]"]

# Chunks a stream may hold before the synthesis waits for the reader: enough
# for a reader that plays in real time to fall a few seconds behind, and a
# bound on the memory a reader that stops reading can cost.
STREAM_QUEUE_CHUNKS = 16

_INT32 = (-(2**31), 2**31 - 1)


def _int_option(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"option {name} takes an int, not {type(value).__name__}")
    if not _INT32[0] <= value <= _INT32[1]:
        raise ValueError(f"option {name} is out of range: {value}")
    return int(value)


def _float_option(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"option {name} takes a number, not {type(value).__name__}")
    return float(value)  # the library refuses values out of its range, NaN and inf


def _seed_option(value: Any) -> int:
    if value is None:
        return NO_SEED
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"option seed takes an int or None, not {type(value).__name__}")
    if not 0 <= value < NO_SEED:
        raise ValueError(f"option seed must be in 0 .. {NO_SEED - 1}, not {value}")
    return int(value)


def make_options(given: Dict[str, Any]) -> Options:
    """vclone_options from keyword arguments named as the C struct's fields.

    Unknown names raise TypeError, as for any function; ranges are the
    library's to check (it names the field and its range).
    """
    options = lib.vclone_default_options()
    for name, value in given.items():
        kind = OPTION_FIELDS.get(name)
        if kind is None:
            known = ", ".join(OPTION_FIELDS)
            raise TypeError(f"unknown option '{name}' (options: {known})")
        if name == "seed":
            options.seed = _seed_option(value)
        elif name in ("split_text", "normalize", "ssml"):
            setattr(options, name, 1 if value else 0)
        elif kind is ctypes.c_float:
            setattr(options, name, _float_option(name, value))
        else:
            setattr(options, name, _int_option(name, value))
    return options


class _StreamState:
    """What Model.close needs to know about a stream still being read."""

    def __init__(self) -> None:
        self.stop = threading.Event()
        self.stopped_by_close = False
        self.reader_thread: Optional[int] = None


class Model(Handle):
    """A loaded weight archive and vocabulary, or a prepared model (its
    vocabulary then may be left out: the file has its own).

    ``threads`` is libtorch's compute thread count (0: every core this process
    may use); ``precision`` is "f32", "bf16" or "int8" for the decoder weights;
    ``max_parallel`` syntheses from different threads share each decode step
    (further ones wait their turn). Use it as a context manager, or call
    ``close``; a closed model raises VcloneError when used. A stream holds its
    place until it is read to the end, broken out of or closed.
    """

    _what = "model"

    def __init__(self, model_path: PathLike, vocab_path: Optional[PathLike] = None, *,
                 threads: int = 0, precision: str = "f32",
                 max_parallel: Optional[int] = None) -> None:
        load_options = lib.vclone_default_load_options()
        load_options.n_threads = _int_option("threads", threads)
        if max_parallel is not None:
            load_options.max_parallel = _int_option("max_parallel", max_parallel)
        if precision not in PRECISIONS:
            raise ValueError(f"precision must be one of {', '.join(PRECISIONS)}, not {precision!r}")
        load_options.precision = PRECISIONS[precision]
        handle = lib.vclone_model_load(_native.path_bytes("model_path", model_path),
                                       None if vocab_path is None
                                       else _native.path_bytes("vocab_path", vocab_path),
                                       ctypes.byref(load_options))
        if not handle:
            raise _native.last_error("cannot load the model")
        super().__init__(handle, lib.vclone_model_free)
        self._streams: List[_StreamState] = []

    @property
    def sample_rate(self) -> int:
        """Samples per second of every result (24000)."""
        return int(lib.vclone_sample_rate())

    @property
    def languages(self) -> List[str]:
        """The language codes the model's vocabulary has."""
        with self._use() as handle:
            codes = lib.vclone_model_languages(handle)
        return codes.decode("utf-8").split() if codes else []

    def load_lexicon(self, path: PathLike) -> None:
        """Adds a pronunciation lexicon (language<TAB>word<TAB>replacement
        lines): its words are replaced whole, case-insensitively, before
        normalisation in every later speak and stream."""
        encoded = _native.path_bytes("path", path)
        with self._use() as handle:
            if lib.vclone_model_load_lexicon(handle, encoded) != 0:
                raise _native.last_error(f"cannot load the lexicon {os.fsdecode(path)}")

    def voice(self, path: PathLike) -> Voice:
        """Conditions a voice on a reference recording (a WAV of at most ten
        minutes; the first 24 seconds count)."""
        encoded = _native.path_bytes("path", path)
        with self._use() as handle:
            voice = lib.vclone_voice_from_wav(handle, encoded)
            if not voice:
                raise _native.last_error(f"cannot make a voice from {os.fsdecode(path)}")
        return Voice(voice)

    def speak(self, text: str, voice: Voice, language: str = "en", **options: Any) -> np.ndarray:
        """Speaks ``text`` in ``voice`` and returns mono float32 samples at
        ``sample_rate``.

        ``options`` are the fields of vclone_options by name: temperature,
        top_k, top_p, repetition_penalty, seed (None: unseeded), max_codes,
        speed, split_text, pause_seconds, stream_first_codes,
        stream_chunk_codes, normalize (True), ssml (False). A long text is split into sentences and spoken
        whole unless split_text=False.
        """
        request = self._request(text, voice, language, options)
        count = ctypes.c_int32(0)
        with self._use() as handle, voice._use() as voice_handle:
            samples = lib.vclone_speak(handle, request["text"], request["language"],
                                       voice_handle, ctypes.byref(request["options"]),
                                       ctypes.byref(count))
            if not samples:
                raise _native.last_error("cannot speak")
        try:
            return np.ctypeslib.as_array(samples, shape=(count.value,)).copy()
        finally:
            _native.free(samples)

    def stream(self, text: str, voice: Voice, language: str = "en",
               **options: Any) -> Iterator[np.ndarray]:
        """As ``speak``, but yields float32 chunks while the audio is made.

        The synthesis runs on a worker thread and waits when the reader falls
        STREAM_QUEUE_CHUNKS chunks behind. Breaking out of the loop (or
        closing the iterator) stops it at its next chunk and waits for that,
        so the model is free again when the loop is left. Finish or close a
        stream before calling the same model again from the thread reading
        it. Arguments are checked at once, not at the first chunk.
        """
        request = self._request(text, voice, language, options)
        self._check_open()
        return self._stream_chunks(request, voice)

    def close(self) -> None:
        """Stops any stream still running, then releases the model."""
        for state in list(getattr(self, "_streams", [])):
            state.stopped_by_close = True
            state.stop.set()
        super().close()

    # ---- internals -------------------------------------------------------

    def _request(self, text: str, voice: Voice, language: str,
                 options: Dict[str, Any]) -> Dict[str, Any]:
        if not isinstance(voice, Voice):
            raise TypeError(f"voice must be a vclone.Voice, not {type(voice).__name__}")
        return {
            "text": _native.text_bytes("text", text),
            "language": _native.text_bytes("language", language),
            "options": make_options(options),
        }

    def _acquire(self) -> int:
        # The library serialises calls on a model and a stream holds it until
        # it ends: waiting for it from the thread that reads it would never end.
        me = threading.get_ident()
        if any(state.reader_thread == me for state in self._streams):
            raise VcloneError("this thread is reading an unfinished stream of the model; "
                              "finish or close it first")
        return super()._acquire()

    def _stream_chunks(self, request: Dict[str, Any], voice: Voice) -> Iterator[np.ndarray]:
        state = _StreamState()
        handle = self._acquire()
        try:
            voice_handle = voice._acquire()
        except BaseException:
            self._release()
            raise
        chunks: "queue.Queue[Any]" = queue.Queue(maxsize=STREAM_QUEUE_CHUNKS)
        end = object()
        outcome: Dict[str, BaseException] = {}

        def put(item: Any) -> bool:
            while not state.stop.is_set():
                try:
                    chunks.put(item, timeout=0.05)
                    return True
                except queue.Full:
                    pass
            return False

        def on_audio(samples, count, _user_data) -> int:
            if state.stop.is_set():
                return 1
            try:
                chunk = np.ctypeslib.as_array(samples, shape=(count,)).copy()
            except BaseException as error:  # never unwind through C
                outcome["error"] = error
                return 1
            return 0 if put(chunk) else 1

        callback = _native.AUDIO_CALLBACK(on_audio)

        def work() -> None:
            try:
                status = lib.vclone_speak_stream(handle, request["text"], request["language"],
                                                 voice_handle, ctypes.byref(request["options"]),
                                                 callback, None)
                if status < 0:
                    outcome["error"] = _native.last_error("cannot speak")  # this thread's error
            except BaseException as error:
                outcome["error"] = error
            finally:
                put(end)

        worker = threading.Thread(target=work, name="vclone-stream", daemon=True)
        self._streams.append(state)
        state.reader_thread = threading.get_ident()
        worker.start()
        try:
            while True:
                try:
                    item = chunks.get(timeout=0.05)
                except queue.Empty:
                    if worker.is_alive():
                        continue
                    break
                if item is end:
                    break
                yield item
            worker.join()
            if state.stopped_by_close:
                raise VcloneError("the model was closed during the stream")
            if "error" in outcome:
                raise outcome["error"]
        finally:
            state.stop.set()
            while worker.is_alive():  # let a callback waiting on a full queue return
                try:
                    chunks.get(timeout=0.05)
                except queue.Empty:
                    pass
            worker.join()
            self._streams.remove(state)
            voice._release()
            self._release()
