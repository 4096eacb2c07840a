"""Helpers for the benchmark scripts: sample data, timing in fresh processes."""

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

WORK = Path(os.environ.get("KIV_BENCH_DIR", "/tmp/kiv-bench"))


def timed(args, env=None, repeat=3, stdout=subprocess.DEVNULL) -> float:
    """Best wall time of `repeat` runs of a command, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(args, check=True, env=env, stdout=stdout)
        best = min(best, time.perf_counter() - start)
    return best


def python_timed(code: str, workers: int | None = None, repeat=3) -> float:
    """Best wall time of a snippet run in a fresh interpreter, minus start-up."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if workers is not None:
        env["RAYON_NUM_THREADS"] = str(workers)
    prelude = "import kiv, time\n"
    script = prelude + "t = time.perf_counter()\n" + code + "\nprint(time.perf_counter() - t)\n"
    best = float("inf")
    for _ in range(repeat):
        out = subprocess.run([sys.executable, "-c", script], check=True, env=env, capture_output=True, text=True)
        best = min(best, float(out.stdout.strip().splitlines()[-1]))
    return best


def require(tool: str) -> str:
    path = shutil.which(tool)
    if not path:
        sys.exit(f"{tool} is needed for this benchmark")
    return path


def row(label: str, seconds: float, reference: float | None = None) -> str:
    ratio = f"  ({reference / seconds:5.2f}x)" if reference else ""
    return f"  {label:<44} {seconds * 1000:9.1f} ms{ratio}"
