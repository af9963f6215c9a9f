import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wyoming_harness  # noqa: E402


@pytest.fixture(scope="session")
def paths():
    return wyoming_harness.prepare()
