import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from fixtures import model_files, reference  # noqa: E402,F401  (shared pytest fixtures)
