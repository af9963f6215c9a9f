import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import fixtures  # noqa: E402


@pytest.fixture(scope="session")
def model_files():
    yield from fixtures.make_model()


@pytest.fixture(scope="session")
def reference(tmp_path_factory):
    return fixtures.write_reference(tmp_path_factory.mktemp("ref") / "reference.wav")
