import sys
from pathlib import Path

import pytest

# The shared model, reference and WAV helpers of the command-line tests.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import fixtures  # noqa: E402


@pytest.fixture(scope="session")
def model_files():
    yield from fixtures.make_model()


@pytest.fixture(scope="session")
def reference(tmp_path_factory):
    return fixtures.write_reference(tmp_path_factory.mktemp("ref") / "reference.wav")


@pytest.fixture(scope="session")
def model(model_files):
    import vclone
    with vclone.Model(*model_files) as loaded:
        yield loaded


@pytest.fixture(scope="session")
def voice(model, reference):
    with model.voice(reference) as made:
        yield made
