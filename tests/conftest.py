import shutil
import subprocess
from pathlib import Path

import pytest

FIXTURES = Path(__file__).resolve().parent.parent.parent / "shared" / "fixtures"


def fixture_path(relative: str) -> Path:
    """Path of a shared fixture; skips the test when it is not there."""
    path = FIXTURES / relative
    if not path.exists():
        pytest.skip(f"fixture not available: {relative}")
    return path


def require_tool(name: str) -> str:
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"tool not available: {name}")
    return path


def run(*args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in args], check=True, capture_output=True, **kwargs)
