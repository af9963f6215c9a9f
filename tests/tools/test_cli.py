"""The command-line program: main paths on one full-size random model, and
usage errors refused before the model is loaded."""
import re
import subprocess

import numpy as np
import pytest

from fixtures import parse_wav, run_cli

# Few codes keep each synthesis short; the random model never stops early.
FAST = ["--max-codes", "8"]
TEXT = "The quick brown fox jumps over the lazy dog."


def model_args(model_files):
    model, vocab = model_files
    return ["--model", model, "--vocab", vocab]


@pytest.fixture(scope="module")
def voice_file(model_files, reference, tmp_path_factory):
    path = tmp_path_factory.mktemp("voice") / "voice.vcv"
    run_cli("voice", *model_args(model_files), "--ref", reference, "--out", path, "--quiet")
    return path


def test_saved_voice_speaks_as_its_reference(model_files, reference, voice_file, tmp_path):
    from_ref, from_voice = tmp_path / "ref.wav", tmp_path / "voice.wav"
    loud = run_cli("say", *model_args(model_files), "--ref", reference, "--out", from_ref,
                   "--seed", "11", *FAST, TEXT)
    quiet = run_cli("say", *model_args(model_files), "--voice", voice_file, "--out", from_voice,
                    "--seed", "11", "--quiet", *FAST, TEXT)
    samples = parse_wav(from_ref.read_bytes())
    assert samples.size > 0 and np.abs(samples).max() > 0
    assert from_voice.read_bytes() == from_ref.read_bytes()
    # Without --quiet the library's lines and the program's own show; with it, none.
    assert b"Loading" in loud.stderr and b"wrote" in loud.stderr
    assert quiet.stderr == b""
    # A saved voice needs no reference work.
    assert b"[mel]" not in quiet.stderr


def test_seeds_repeat_and_differ(model_files, voice_file, tmp_path):
    outputs = {}
    for name, seed in (("a", "3"), ("b", "3"), ("c", "4")):
        outputs[name] = tmp_path / f"{name}.wav"
        run_cli("say", *model_args(model_files), "--voice", voice_file, "--out", outputs[name],
                "--seed", seed, "--quiet", *FAST, TEXT)
    assert outputs["a"].read_bytes() == outputs["b"].read_bytes()
    assert outputs["a"].read_bytes() != outputs["c"].read_bytes()


def test_stream_to_stdout_matches_the_file(model_files, voice_file, tmp_path):
    whole = tmp_path / "whole.wav"
    options = ["--voice", voice_file, "--seed", "5", "--quiet", "--max-codes", "40"]
    run_cli("say", *model_args(model_files), *options, "--out", whole, TEXT)
    streamed = run_cli("say", *model_args(model_files), *options, "--out", "-", TEXT)
    stream_samples = parse_wav(streamed.stdout, streamed=True).astype(np.int32)
    file_samples = parse_wav(whole.read_bytes()).astype(np.int32)
    assert stream_samples.size == file_samples.size
    # The chunked vocoder matches the whole call up to float rounding, which
    # may tip a sample across a 16-bit step, never more.
    assert np.abs(stream_samples - file_samples).max() <= 1
    assert streamed.stderr == b""


def ffmpeg_samples(path):
    """The file's audio as ffmpeg decodes it: 16-bit mono at 24 kHz."""
    result = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", str(path), "-f", "s16le",
                             "-ac", "1", "-ar", "24000", "-"], capture_output=True, check=True)
    return np.frombuffer(result.stdout, dtype="<i2").astype(np.int32)


def test_formats_by_extension_and_on_standard_output(model_files, voice_file, tmp_path):
    options = ["--voice", voice_file, "--seed", "5", "--quiet", "--max-codes", "20"]
    run_cli("say", *model_args(model_files), *options, "--out", tmp_path / "a.wav", TEXT)
    wav = parse_wav((tmp_path / "a.wav").read_bytes()).astype(np.int32)
    for name in ("a.flac", "a.mp3"):
        run_cli("say", *model_args(model_files), *options, "--out", tmp_path / name, TEXT)
        decoded = ffmpeg_samples(tmp_path / name)
        # MP3 files carry their encoder delay and padding, so both decode to the length.
        assert decoded.size == wav.size, name
        if name.endswith(".flac"):
            assert np.array_equal(decoded, wav)
    streamed = run_cli("say", *model_args(model_files), *options, "--format", "opus", "--out", "-", TEXT)
    assert streamed.stdout[:4] == b"OggS"
    (tmp_path / "s.opus").write_bytes(streamed.stdout)
    assert ffmpeg_samples(tmp_path / "s.opus").size == wav.size  # the last Ogg page is there


def test_long_text_from_stdin_is_spoken_whole(model_files, voice_file, tmp_path):
    sentence = "This sentence is one of many that make a text too long for a single piece. "
    text = sentence * 12  # about 900 characters: several pieces
    out = tmp_path / "long.wav"
    run_cli("say", *model_args(model_files), "--voice", voice_file, "--out", out, "--quiet",
            "--max-codes", "4", "--pause", "1", "--seed", "1", input=text)
    # Each piece makes at most 4 codes (well under a second); only the pauses
    # of at least two pieces make more than a second.
    assert parse_wav(out.read_bytes()).size > 24000

    unsplit = run_cli("say", *model_args(model_files), "--voice", voice_file, "--out", out,
                      "--quiet", "--no-split", *FAST, input=text * 3, check=False)
    assert unsplit.returncode == 1
    assert b"too long" in unsplit.stderr.lower()


def test_languages_lists_the_vocabulary_codes(model_files):
    result = run_cli("languages", "--vocab", model_files[1])
    codes = result.stdout.decode().split()
    assert "en" in codes and len(codes) == len(set(codes))


def test_inspect_counts_and_lists_tensors(model_files, voice_file):
    for archive in (model_files[0], voice_file):
        count = run_cli("inspect", archive).stdout.decode()
        listed = run_cli("inspect", archive, "--list").stdout.decode().splitlines()
        n = int(re.search(r": (\d+) tensors", count).group(1))
        assert n > 0 and len(listed) == n + 1
        assert all(re.fullmatch(r"\S+ \[[\d, ]*\]", line) for line in listed[1:]), listed[:3]
    assert run_cli("inspect", model_files[1], check=False).returncode == 1  # JSON is no archive


def test_version_and_help(model_files):
    version = run_cli("--version").stdout.decode().strip()
    assert re.fullmatch(r"\d+\.\d+\.\d+", version)
    for command in ([], ["say"], ["voice"], ["languages"], ["inspect"], ["serve"]):
        result = run_cli(*command, "--help")
        assert b"--help" in result.stdout and result.stderr == b""
    assert b"--max-codes" in run_cli("say", "--help").stdout


def usage_cases(model, vocab, reference, voice, tmp):
    say = ["say", "--model", model, "--vocab", vocab, "--out", tmp / "out.wav"]
    with_ref = say + ["--ref", reference]
    a_file = tmp / "a_file"
    a_file.write_text("x")
    return [
        # (arguments, standard input, words the message must name)
        (with_ref + ["--seed", "-1", TEXT], None, "--seed"),
        (with_ref + ["--seed", "abc", TEXT], None, "--seed"),
        (with_ref + ["--seed", "18446744073709551615", TEXT], None, "--seed"),
        (with_ref + ["--threads", "999", TEXT], None, "--threads"),
        (with_ref + ["--threads", "1.5", TEXT], None, "--threads"),
        (with_ref + ["--temperature", "inf", TEXT], None, "--temperature"),
        (with_ref + ["--temperature", "nan", TEXT], None, "--temperature"),
        (with_ref + ["--temperature", "0", TEXT], None, "--temperature"),
        (with_ref + ["--top-k", "1027", TEXT], None, "--top-k"),
        (with_ref + ["--top-p", "1.01", TEXT], None, "--top-p"),
        (with_ref + ["--repetition-penalty", "0.5", TEXT], None, "--repetition-penalty"),
        (with_ref + ["--speed", "5", TEXT], None, "--speed"),
        (with_ref + ["--max-codes", "3", TEXT], None, "--max-codes"),
        (with_ref + ["--max-codes", "607", TEXT], None, "--max-codes"),
        (with_ref + ["--pause", "-0.1", TEXT], None, "--pause"),
        (with_ref + ["--precision", "f16", TEXT], None, "--precision"),
        (with_ref + ["--language", "xx", TEXT], None, "xx"),
        (with_ref + ["--language", "en-US", TEXT], None, "en-US"),
        (with_ref + ["   \n"], None, "empty"),
        (with_ref, "", "empty"),
        (with_ref + ["--tempature", "0.5", TEXT], None, "--tempature"),
        (say + ["--ref", tmp / "missing.wav", TEXT], None, "missing.wav"),
        (say + ["--voice", tmp / "missing.vcv", TEXT], None, "missing.vcv"),
        (say + ["--ref", reference, "--voice", voice, TEXT], None, "--voice"),
        (say + [TEXT], None, "--ref"),
        (["say", "--model", tmp / "missing.pt", "--vocab", vocab, "--ref", reference,
          "--out", tmp / "o.wav", TEXT], None, "missing.pt"),
        (["say", "--model", model, "--vocab", tmp / "missing.json", "--ref", reference,
          "--out", tmp / "o.wav", TEXT], None, "missing.json"),
        (["say", "--model", model, "--vocab", vocab, "--ref", reference,
          "--out", tmp / "no_such_folder" / "o.wav", TEXT], None, "no_such_folder"),
        (["say", "--model", model, "--vocab", vocab, "--ref", reference,
          "--out", a_file / "o.wav", TEXT], None, "not a folder"),
        (["say", "--model", model, "--vocab", vocab, "--ref", reference, "--out", tmp, TEXT],
         None, "--out"),
        (["say", "--vocab", vocab, "--ref", reference, "--out", tmp / "o.wav", TEXT], None, "--model"),
        (["say", "--model", model, "--vocab", vocab, "--ref", reference, "--out", tmp / "o.mp4", TEXT],
         None, "o.mp4"),
        (with_ref + ["--format", "ogg", TEXT], None, "--format"),
        (["voice", "--model", model, "--vocab", vocab, "--ref", reference, "--out",
          tmp / "no_such_folder" / "v.vcv"], None, "no_such_folder"),
        (["voice", "--model", model, "--vocab", vocab, "--ref", reference, "--threads", "-2",
          "--out", tmp / "v.vcv"], None, "--threads"),
        (["prepare", "--model", model, "--out", tmp / "m.vcm"], None, "--vocab"),
        (["prepare", "--model", model, "--vocab", vocab, "--precision", "f16", "--out",
          tmp / "m.vcm"], None, "--precision"),
        (["prepare", "--model", model, "--vocab", vocab, "--out", tmp / "no_such_folder" / "m.vcm"],
         None, "no_such_folder"),
        (["prepare", "--verify", tmp / "missing.vcm"], None, "missing.vcm"),
        (["prepare", "--verify", voice, "--out", tmp / "m.vcm"], None, "--verify"),
        # Only a prepared model may go without --vocab.
        (["say", "--model", model, "--ref", reference, "--out", tmp / "o.wav", TEXT], None, "--vocab"),
        (["sya", "--model", model], None, "sya"),
        ([], None, "subcommand"),
    ]


def test_usage_errors_are_refused_before_loading(model_files, reference, voice_file, tmp_path):
    failures = []
    for arguments, stdin, named in usage_cases(*model_files, reference, voice_file, tmp_path):
        result = run_cli(*arguments, input=stdin, check=False)
        error = result.stderr.decode(errors="replace")
        if result.returncode != 2 or named not in error or "Loading" in error or result.stdout:
            failures.append(f"{[str(a) for a in arguments]} -> {result.returncode}: {error!r}")
    assert not failures, "\n".join(failures)


def test_failures_after_the_checks_name_the_cause(model_files, reference, tmp_path):
    not_a_wav = tmp_path / "not_a.wav"
    not_a_wav.write_bytes(b"this is no recording")
    result = run_cli("say", *model_args(model_files), "--ref", not_a_wav, "--out",
                     tmp_path / "o.wav", *FAST, TEXT, check=False)
    assert result.returncode == 1 and b"not_a.wav" in result.stderr
    assert not (tmp_path / "o.wav").exists()

    # Verification names a file that is not a prepared model, without reading it whole.
    result = run_cli("prepare", "--verify", model_files[0], check=False)
    assert result.returncode == 1 and b"not a prepared model" in result.stderr

    # A weight archive is not a voice: refused without loading the model.
    result = run_cli("say", *model_args(model_files), "--voice", model_files[0], "--out",
                     tmp_path / "o.wav", TEXT, check=False)
    assert result.returncode == 1 and b"voice" in result.stderr and b"Loading" not in result.stderr
