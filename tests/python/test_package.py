"""The Python package over libvclone.so: the same samples as the C library and
the command line, voices both ways, streaming and stopping it, errors."""
import logging
import os
import shutil
import subprocess
import sys
import threading
import wave

import numpy as np
import pytest

import vclone
from fixtures import PYTHON, SOURCE_DIR, parse_wav, run_cli

TEXT = "The quick brown fox jumps over the lazy dog."
FAST = {"max_codes": 8}


def as_pcm16(samples):
    """Samples as the C writers store them."""
    return (np.clip(samples, -1, 1) * np.float32(32767)).astype(np.int16)


def test_seeded_speak_equals_the_command_line(model, model_files, voice, tmp_path):
    voice_path = tmp_path / "v.vcv"
    voice.save(voice_path)
    samples = model.speak(TEXT, voice, seed=9, **FAST)
    assert samples.dtype == np.float32 and samples.ndim == 1 and samples.size > 0
    assert np.all(np.isfinite(samples))

    out = tmp_path / "cli.wav"
    run_cli("say", "--model", model_files[0], "--vocab", model_files[1], "--voice", voice_path,
            "--seed", "9", "--max-codes", "8", "--quiet", "--out", out, TEXT)
    np.testing.assert_array_equal(parse_wav(out.read_bytes()), as_pcm16(samples))

    again = model.speak(TEXT, voice, seed=9, **FAST)
    other = model.speak(TEXT, voice, seed=10, **FAST)
    np.testing.assert_array_equal(again, samples)
    assert not np.array_equal(other[:min(other.size, samples.size)],
                              samples[:min(other.size, samples.size)])


def test_voices_travel_between_python_and_the_command_line(model, model_files, reference,
                                                           voice, tmp_path):
    from_python = tmp_path / "python.vcv"
    voice.save(from_python)
    assert run_cli("inspect", from_python).returncode == 0
    from_cli = tmp_path / "cli.vcv"
    run_cli("voice", "--model", model_files[0], "--vocab", model_files[1], "--ref", reference,
            "--out", from_cli, "--quiet")
    expected = model.speak(TEXT, voice, seed=4, **FAST)
    for path in (from_python, from_cli):
        with vclone.Voice.load(path) as loaded:
            np.testing.assert_array_equal(model.speak(TEXT, loaded, seed=4, **FAST), expected)


def test_stream_concatenates_to_the_whole_call(model, voice):
    options = dict(seed=2, max_codes=40, stream_first_codes=8, stream_chunk_codes=16)
    whole = model.speak(TEXT, voice, **options)
    chunks = list(model.stream(TEXT, voice, **options))
    assert len(chunks) >= 2 and all(c.dtype == np.float32 and c.size for c in chunks)
    joined = np.concatenate(chunks)
    assert joined.size == whole.size
    # Each chunk is vocoded with enough neighbouring frames that its seams
    # match the whole call up to float rounding (about 3e-7 here); 1e-4 is
    # far below anything audible and far above rounding.
    assert np.abs(joined - whole).max() < 1e-4


def test_breaking_out_of_a_stream_stops_it(model, voice, caplog):
    caplog.set_level(logging.DEBUG, logger="vclone")
    chunks = dict(stream_first_codes=4, stream_chunk_codes=4)
    # The decoder logs its progress every 50 codes: a stream read to 60 codes shows it ...
    assert sum(c.size for c in model.stream(TEXT, voice, max_codes=60, **chunks)) > 0
    assert any("Generated 50/" in r.getMessage() for r in caplog.records)
    caplog.clear()
    # ... one left after its first chunk of 606 codes stops long before.
    for chunk in model.stream(TEXT, voice, max_codes=606, **chunks):
        break
    stopped_lines = [r.getMessage() for r in caplog.records]
    assert chunk.size > 0
    assert not any("Generated 50/" in line for line in stopped_lines), stopped_lines
    # The stream let go of the model: the same thread may call it at once.
    assert model.speak(TEXT, voice, **FAST).size > 0


def test_an_unfinished_stream_blocks_only_its_own_thread(model, voice):
    stream = model.stream(TEXT, voice, **FAST, stream_first_codes=4, stream_chunk_codes=4)
    next(stream)
    with pytest.raises(vclone.VcloneError, match="unfinished stream"):
        model.speak(TEXT, voice, **FAST)
    stream.close()
    results = []
    worker = threading.Thread(target=lambda: results.append(model.speak(TEXT, voice, **FAST)))
    worker.start()
    worker.join(timeout=300)
    assert results and results[0].size > 0


def test_errors_carry_the_library_message(model, model_files, voice, tmp_path):
    with pytest.raises(vclone.VcloneError, match="'xx'.* en "):
        model.speak(TEXT, voice, language="xx")
    with pytest.raises(vclone.VcloneError, match="temperature"):
        model.speak(TEXT, voice, temperature=0.0)
    with pytest.raises(vclone.VcloneError, match="top_p"):
        list(model.stream(TEXT, voice, top_p=float("nan")))
    with pytest.raises(vclone.VcloneError):
        model.speak("   ", voice)
    not_a_voice = tmp_path / "not_a.vcv"
    not_a_voice.write_bytes(b"PK\x03\x04 not really an archive")
    with pytest.raises(vclone.VcloneError, match="not_a.vcv"):
        vclone.Voice.load(not_a_voice)
    with pytest.raises(vclone.VcloneError, match="voice"):
        vclone.Voice.load(model_files[0])  # a weight archive is no voice
    with pytest.raises(vclone.VcloneError, match="missing.pt"):
        vclone.Model(tmp_path / "missing.pt", model_files[1])
    with pytest.raises(ValueError, match="precision"):
        vclone.Model(*model_files, precision="f16")


@pytest.mark.parametrize("options, error", [
    ({"temprature": 0.5}, TypeError),
    ({"reserved": 0}, TypeError),
    ({"top_k": 2.5}, TypeError),
    ({"top_k": 2**40}, ValueError),
    ({"seed": -1}, ValueError),
    ({"seed": "7"}, TypeError),
    ({"speed": "fast"}, TypeError),
])
def test_options_are_checked_by_name_and_type(model, voice, options, error):
    with pytest.raises(error):
        model.speak(TEXT, voice, **options)
    with pytest.raises(error):
        model.stream(TEXT, voice, **options)  # refused when called, not at the first chunk


def test_closed_objects_raise_instead_of_crashing(model_files, reference):
    model = vclone.Model(*model_files)
    voice = model.voice(reference)
    running = model.stream(TEXT, voice, max_codes=606, stream_first_codes=4, stream_chunk_codes=4)
    next(running)
    model.close()  # stops the stream; the model is released when it ends
    with pytest.raises(vclone.VcloneError, match="closed"):
        for _ in running:
            pass
    for use in (lambda: model.speak(TEXT, voice), lambda: model.voice(reference),
                lambda: model.stream(TEXT, voice), lambda: model.languages):
        with pytest.raises(vclone.VcloneError, match="model is closed"):
            use()
    model.close()
    voice.close()
    with pytest.raises(vclone.VcloneError, match="voice is closed"):
        voice.save(os.devnull)


def test_log_lines_reach_the_vclone_logger(model, reference, caplog):
    caplog.set_level(logging.DEBUG, logger="vclone")
    with model.voice(reference):
        pass
    assert any(r.name == "vclone" and "[mel]" in r.getMessage() for r in caplog.records)


def test_write_wav_matches_the_c_writers(tmp_path):
    samples = np.array([0.0, 0.5, -0.5, 1.0, -1.0, 2.0, -3.0, np.nan, 1e-5, 0.99999], np.float32)
    path = tmp_path / "w.wav"
    vclone.write_wav(path, samples, 24000)
    with wave.open(str(path)) as written:
        assert (written.getnchannels(), written.getsampwidth(), written.getframerate()) == (1, 2, 24000)
        pcm = np.frombuffer(written.readframes(written.getnframes()), "<i2")
    assert pcm.tolist() == [0, 16383, -16383, 32767, -32767, 32767, -32767, 0, 0, 32766]
    with pytest.raises(ValueError):
        vclone.write_wav(path, np.zeros((2, 3), np.float32), 24000)


def test_module_say_writes_what_the_cli_writes(model_files, reference, tmp_path):
    common = ["--model", str(model_files[0]), "--vocab", str(model_files[1]), "--ref", str(reference),
              "--seed", "6", "--max-codes", "8", "--quiet"]
    run_cli("say", *common, "--out", tmp_path / "cli.wav", TEXT)
    subprocess.run([sys.executable, "-m", "vclone", "say", *common, "--out", str(tmp_path / "py.wav")],
                   input=TEXT.encode(), check=True, timeout=600)
    assert (tmp_path / "py.wav").read_bytes() == (tmp_path / "cli.wav").read_bytes()


def test_package_installs_offline_and_needs_numpy(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(SOURCE_DIR / "python", source, ignore=shutil.ignore_patterns("build", "*.egg-info"))
    target = tmp_path / "site"
    subprocess.run([PYTHON, "-m", "pip", "install", "-q", "--no-index", "--no-build-isolation",
                    "--no-deps", "--target", str(target), str(source)],
                   check=True, timeout=300, env={**os.environ, "PIP_ROOT_USER_ACTION": "ignore"})
    probe = "import vclone, sys; print(vclone.version(), vclone.__file__)"
    environment = {**os.environ, "PYTHONPATH": str(target)}
    installed = subprocess.run([PYTHON, "-c", probe], env=environment, check=True,
                               stdout=subprocess.PIPE, timeout=60).stdout.decode()
    assert installed.startswith(vclone.version()) and str(target) in installed
    blocked = "import sys; sys.modules['numpy'] = None; import vclone"
    result = subprocess.run([PYTHON, "-c", blocked], env=environment, stderr=subprocess.PIPE,
                            timeout=60)
    assert result.returncode != 0 and b"numpy" in result.stderr
