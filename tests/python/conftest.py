import sys
from pathlib import Path

import pytest

# The shared model, reference and WAV helpers of the command-line tests.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from fixtures import model_files, reference  # noqa: E402,F401  (shared pytest fixtures)


@pytest.fixture(scope="session")
def model(model_files):
    import vclone
    with vclone.Model(*model_files) as loaded:
        yield loaded


@pytest.fixture(scope="session")
def voice(model, reference):
    with model.voice(reference) as made:
        yield made
