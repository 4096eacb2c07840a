import shutil
import subprocess
from pathlib import Path

import pytest

FIXTURES = Path(__file__).resolve().parent.parent.parent / "shared" / "fixtures"


def fixture_path(relative: str) -> Path:
    """Path of a shared fixture; skips the test when it is not there."""
    path = FIXTURES / relative
    return path if path.exists() else pytest.skip(f"fixture not available: {relative}")


def require_tool(name: str) -> str:
    return shutil.which(name) or pytest.skip(f"tool not available: {name}")


def run(*args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in args], check=True, capture_output=True, **kwargs)
