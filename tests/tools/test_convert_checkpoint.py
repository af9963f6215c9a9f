"""tools/convert_checkpoint.py reads tensors only: a checkpoint that pickles
anything able to run code is refused before any of it runs."""
import os
import subprocess
import sys
import zipfile

import pytest

torch = pytest.importorskip("torch")

SOURCE_DIR = os.environ.get("VCLONE_SOURCE_DIR",
                            os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
CONVERT = os.path.join(SOURCE_DIR, "tools", "convert_checkpoint.py")


class LeavesAMark:
    """Unpickling this creates a file: code run by merely loading a checkpoint."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (open, (self.path, "w"))


def convert(checkpoint, archive):
    return subprocess.run([sys.executable, CONVERT, str(checkpoint), str(archive)],
                          capture_output=True, text=True, timeout=120)


def test_plain_tensors_convert(tmp_path):
    checkpoint = tmp_path / "plain.pth"
    torch.save({"model": {"gpt.gpt.h.0.attn.c_attn.weight": torch.ones(2, 3, dtype=torch.float16),
                          "step": torch.tensor(7)}}, checkpoint)
    result = convert(checkpoint, tmp_path / "model.pt")
    assert result.returncode == 0, result.stderr
    assert "wrote 1 tensors" in result.stdout and "step" in result.stdout
    assert "manifest.json" in " ".join(zipfile.ZipFile(tmp_path / "model.pt").namelist())


def test_a_checkpoint_that_would_run_code_is_refused_unrun(tmp_path):
    mark = tmp_path / "ran"
    checkpoint = tmp_path / "hostile.pth"
    torch.save({"model": {"w": torch.ones(2)}, "payload": LeavesAMark(str(mark))}, checkpoint)
    result = convert(checkpoint, tmp_path / "model.pt")
    assert result.returncode != 0
    assert "not loaded" in result.stderr and "run code" in result.stderr
    assert not mark.exists()
    assert not (tmp_path / "model.pt").exists()
