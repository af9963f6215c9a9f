"""The C library, loaded once with ctypes, and its function signatures.

The library is searched for, in order, at the path in the environment variable
VCLONE_LIBRARY, in the build folder of the checkout this package sits in
(build/libvclone.so), and then wherever the dynamic loader finds an installed
libvclone.so.
"""
from __future__ import annotations

import atexit
import contextlib
import ctypes
import ctypes.util
import logging
import os
import threading
from pathlib import Path
from typing import Iterator, Optional

logger = logging.getLogger("vclone")
# A library leaves the logging set-up to the application.
logger.addHandler(logging.NullHandler())

NO_SEED = 2**64 - 1

PRECISIONS = {"f32": 0, "bf16": 1, "int8": 2}


class VcloneError(RuntimeError):
    """A call into the library failed; the message is the library's own."""


class LoadOptions(ctypes.Structure):
    """vclone_load_options, field for field."""

    _fields_ = [
        ("n_threads", ctypes.c_int32),
        ("precision", ctypes.c_int32),
        ("max_parallel", ctypes.c_int32),
        ("reserved32", ctypes.c_int32),
        ("reserved", ctypes.c_int64 * 14),
    ]


class Options(ctypes.Structure):
    """vclone_options, field for field."""

    _fields_ = [
        ("temperature", ctypes.c_float),
        ("top_k", ctypes.c_int32),
        ("top_p", ctypes.c_float),
        ("repetition_penalty", ctypes.c_float),
        ("seed", ctypes.c_uint64),
        ("max_codes", ctypes.c_int32),
        ("speed", ctypes.c_float),
        ("split_text", ctypes.c_int32),
        ("pause_seconds", ctypes.c_float),
        ("stream_first_codes", ctypes.c_int32),
        ("stream_chunk_codes", ctypes.c_int32),
        ("normalize", ctypes.c_int32),
        ("ssml", ctypes.c_int32),
        ("reserved", ctypes.c_int64 * 11),
    ]


# The names a caller may set, and the C type each one has.
OPTION_FIELDS = {name: kind for name, kind in Options._fields_ if name != "reserved"}

AUDIO_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_float), ctypes.c_int,
                                  ctypes.c_void_p)
LOG_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p)


def _candidates() -> list:
    found = []
    explicit = os.environ.get("VCLONE_LIBRARY")
    if explicit:
        return [explicit]  # asked for by name: no silent fallback to another build
    checkout_build = Path(__file__).resolve().parents[2] / "build" / "libvclone.so"
    if checkout_build.exists():
        found.append(str(checkout_build))
    installed = ctypes.util.find_library("vclone")
    found.extend(name for name in (installed, "libvclone.so.0", "libvclone.so") if name)
    return found


def _open_library() -> ctypes.CDLL:
    reasons = []
    for candidate in _candidates():
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            reasons.append(str(error))
    raise ImportError("vclone: cannot load libvclone.so (set VCLONE_LIBRARY to its path): "
                      + "; ".join(reasons))


def _declare(lib: ctypes.CDLL) -> None:
    c = ctypes
    signatures = {
        "vclone_version": (c.c_char_p, []),
        "vclone_sample_rate": (c.c_int32, []),
        "vclone_free": (None, [c.c_void_p]),
        "vclone_get_last_error": (c.c_char_p, []),
        "vclone_log_set": (None, [LOG_CALLBACK, c.c_void_p]),
        "vclone_vocab_languages": (c.c_void_p, [c.c_char_p]),
        "vclone_default_load_options": (LoadOptions, []),
        "vclone_default_options": (Options, []),
        "vclone_model_load": (c.c_void_p, [c.c_char_p, c.c_char_p, c.POINTER(LoadOptions)]),
        "vclone_model_free": (None, [c.c_void_p]),
        "vclone_model_languages": (c.c_char_p, [c.c_void_p]),
        "vclone_model_load_lexicon": (c.c_int, [c.c_void_p, c.c_char_p]),
        "vclone_normalize_text": (c.c_void_p, [c.c_char_p, c.c_char_p]),
        "vclone_voice_from_wav": (c.c_void_p, [c.c_void_p, c.c_char_p]),
        "vclone_voice_save": (c.c_int, [c.c_void_p, c.c_char_p]),
        "vclone_voice_load": (c.c_void_p, [c.c_char_p]),
        "vclone_voice_free": (None, [c.c_void_p]),
        "vclone_speak": (c.POINTER(c.c_float), [c.c_void_p, c.c_char_p, c.c_char_p, c.c_void_p,
                                                c.POINTER(Options), c.POINTER(c.c_int32)]),
        "vclone_speak_stream": (c.c_int, [c.c_void_p, c.c_char_p, c.c_char_p, c.c_void_p,
                                          c.POINTER(Options), AUDIO_CALLBACK, c.c_void_p]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments


lib = _open_library()
_declare(lib)


def free(pointer) -> None:
    """Releases a buffer or string the library returned, with its own vclone_free."""
    lib.vclone_free(ctypes.cast(pointer, ctypes.c_void_p))


def last_error(what: str) -> VcloneError:
    """The calling thread's last library error, as an exception."""
    message = lib.vclone_get_last_error()
    text = message.decode("utf-8", "replace") if message else "unknown error"
    return VcloneError(f"{what}: {text}")


def text_bytes(name: str, text: str) -> bytes:
    """A str argument as the UTF-8 the library takes."""
    if not isinstance(text, str):
        raise TypeError(f"{name} must be a str, not {type(text).__name__}")
    return _without_nul(name, text.encode("utf-8"))


def path_bytes(name: str, path) -> bytes:
    """A file path (str, bytes or os.PathLike) as the library takes it."""
    return _without_nul(name, os.fsencode(path))


def _without_nul(name: str, value: bytes) -> bytes:
    # C would silently stop reading at the first NUL.
    if b"\0" in value:
        raise ValueError(f"{name} contains a NUL character")
    return value


# ---- Logging: every library line goes to the "vclone" logger ---------------

_LEVELS = {0: logging.DEBUG, 1: logging.INFO, 2: logging.WARNING, 3: logging.ERROR}


def _forward_line(level: int, line: Optional[bytes], _user_data) -> None:
    try:
        text = line.decode("utf-8", "replace") if line else ""
        logger.log(_LEVELS.get(level, logging.INFO), "%s", text)
    except Exception:  # a logging failure must never unwind through C
        pass


_log_callback = LOG_CALLBACK(_forward_line)  # kept alive as long as the module
lib.vclone_log_set(_log_callback, None)


@atexit.register
def _restore_default_log() -> None:
    # The interpreter is going away; the callback may not run after this.
    lib.vclone_log_set(LOG_CALLBACK(), None)  # NULL: the library default again


class Handle:
    """A library object shared between the caller and running calls.

    Every call holds a use of the handle while the library works on it;
    ``close`` marks it closed at once (later calls raise VcloneError) and the
    library object is released when the last running call lets go, so that
    closing never pulls memory out from under a call in another thread or a
    stream still being read.
    """

    _what = "object"

    def __init__(self, handle: int, release) -> None:
        self._handle = handle
        self._release_handle = release
        self._uses = 0
        self._closed = False
        self._guard = threading.Lock()

    @property
    def closed(self) -> bool:
        """True once close has been called."""
        return self._closed

    def _check_open(self) -> None:
        if self._closed:
            raise VcloneError(f"the {self._what} is closed")

    def _acquire(self) -> int:
        with self._guard:
            self._check_open()
            self._uses += 1
            return self._handle

    def _release(self) -> None:
        with self._guard:
            self._uses -= 1
            handle = self._take_if_unused()
        if handle:
            self._release_handle(handle)

    @contextlib.contextmanager
    def _use(self) -> Iterator[int]:
        handle = self._acquire()
        try:
            yield handle
        finally:
            self._release()

    def _take_if_unused(self) -> Optional[int]:
        if self._closed and self._uses == 0 and self._handle:
            handle, self._handle = self._handle, None
            return handle
        return None

    def close(self) -> None:
        """Releases the object (once no call is using it). Harmless when closed."""
        with self._guard:
            self._closed = True
            handle = self._take_if_unused()
        if handle:
            self._release_handle(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) and getattr(self, "_guard", None):
            self.close()
