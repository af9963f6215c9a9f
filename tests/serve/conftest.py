import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_harness  # noqa: E402


@pytest.fixture(scope="session")
def paths():
    return serve_harness.prepare()
