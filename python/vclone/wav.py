"""Writing samples to a WAV file."""
from __future__ import annotations

import os
import wave
from typing import Union

import numpy as np

PathLike = Union[str, bytes, "os.PathLike[str]"]


def write_wav(path: PathLike, samples: np.ndarray, sample_rate: int) -> None:
    """Writes mono samples as a 16-bit PCM WAV file.

    Samples are clamped to [-1, 1], scaled by 32767 and truncated (NaN becomes
    0), exactly as the C library and the command line write them, so that the
    same samples give the same bytes.
    """
    values = np.asarray(samples, dtype=np.float32)
    if values.ndim != 1:
        raise ValueError(f"samples must be one-dimensional (mono), not of shape {values.shape}")
    if isinstance(sample_rate, bool) or not isinstance(sample_rate, (int, np.integer)) \
            or sample_rate <= 0:
        raise ValueError(f"sample_rate must be a positive int, not {sample_rate!r}")
    clean = np.clip(np.nan_to_num(values, nan=0.0), -1.0, 1.0)
    pcm = (clean * np.float32(32767.0)).astype("<i2")
    with wave.open(os.fsdecode(path), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(int(sample_rate))
        out.writeframes(pcm.tobytes())
