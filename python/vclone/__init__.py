"""vclone: speak a text in the voice of a short reference recording.

A thin layer over the C library libvclone.so (ctypes)::

    import vclone

    with vclone.Model("model.pt", "vocab.json") as model:
        voice = model.voice("reference.wav")
        voice.save("me.vcv")
        samples = model.speak("Hello there.", voice, seed=7)
        vclone.write_wav("hello.wav", samples, model.sample_rate)
        for chunk in model.stream("A longer text, heard while it is made.", voice):
            play(chunk)

Failures raise VcloneError with the library's message; the library's log lines
go to the "vclone" logger.
"""
from ._native import NO_SEED, VcloneError, lib as _lib
from ._native import path_bytes as _path_bytes
from ._native import last_error as _last_error
from ._native import free as _free
from ._native import text_bytes as _text_bytes
from .model import Model
from .voice import Voice
from .wav import write_wav

__all__ = ["Model", "Voice", "VcloneError", "write_wav", "version", "languages", "normalize_text",
           "NO_SEED"]


def version() -> str:
    """The C library's version, "MAJOR.MINOR.PATCH"."""
    return _lib.vclone_version().decode("ascii")


# The package is the library's binding, so it has the library's version.
__version__ = version()


def languages(vocab_path) -> list:
    """The language codes a vocabulary file has, without loading a model."""
    joined = _lib.vclone_vocab_languages(_path_bytes("vocab_path", vocab_path))
    if not joined:
        raise _last_error(f"cannot read the languages of {vocab_path}")
    try:
        import ctypes
        return ctypes.string_at(joined).decode("utf-8").split()
    finally:
        _free(joined)


def normalize_text(text: str, language: str = "en") -> str:
    """The text as it is spoken: numbers, dates, money, units and
    abbreviations as words ("$5.50" -> "five dollars and fifty cents")."""
    spoken = _lib.vclone_normalize_text(_text_bytes("text", text), _text_bytes("language", language))
    if not spoken:
        raise _last_error("cannot normalise the text")
    try:
        import ctypes
        return ctypes.string_at(spoken).decode("utf-8")
    finally:
        _free(spoken)
