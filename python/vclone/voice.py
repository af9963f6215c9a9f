"""Voices: what a reference recording contributes, kept apart from its model."""
from __future__ import annotations

import os
from typing import Union

from . import _native
from ._native import Handle, lib

PathLike = Union[str, bytes, "os.PathLike[str]"]


class Voice(Handle):
    """The conditioning of a reference recording, reusable for any number of
    calls and with any model of the same dimensions.

    Make one with ``Model.voice(path_to_wav)`` or ``Voice.load(path)``, keep it
    with ``save``. ``close`` (or leaving a ``with`` block) releases it; so does
    garbage collection. A closed voice raises VcloneError when used.
    """

    _what = "voice"

    def __init__(self, handle: int) -> None:
        """Wraps a library handle; use Model.voice or Voice.load instead."""
        super().__init__(handle, lib.vclone_voice_free)

    @classmethod
    def load(cls, path: PathLike) -> "Voice":
        """Reads a voice file written by ``save`` or ``vclone voice``.

        Raises VcloneError with the library's reason when the file is not a
        valid voice.
        """
        handle = lib.vclone_voice_load(_native.path_bytes("path", path))
        if not handle:
            raise _native.last_error(f"cannot read the voice {os.fsdecode(path)}")
        return cls(handle)

    def save(self, path: PathLike) -> None:
        """Writes the voice file (a small archive) that ``Voice.load`` and
        ``vclone say --voice`` read."""
        encoded = _native.path_bytes("path", path)
        with self._use() as handle:
            if lib.vclone_voice_save(handle, encoded) != 0:
                raise _native.last_error(f"cannot save the voice to {os.fsdecode(path)}")
