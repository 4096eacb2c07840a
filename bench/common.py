"""Helpers for the benchmark scripts: sample data, timing in fresh processes, peak memory."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import NamedTuple

# Generated inputs are kept between runs, under the build tree.
WORK = Path(os.environ.get("KIV_BENCH_DIR", Path(__file__).resolve().parent.parent / "build" / "bench"))


class Run(NamedTuple):
    seconds: float  # wall time (for a Python snippet: of the snippet alone)
    peak: int       # peak resident memory, bytes
    cpu: float      # user + system time of the process, seconds
    out: bytes


def measured(args, env=None, stdout=subprocess.DEVNULL, accept=(0,), stderr=None) -> Run:
    """One run of a command: wall time, peak memory, processor time and output.
    Exit statuses other than `accept` fail.

    The peak comes from GNU time where it is installed: a process's own
    count also holds the image of the (large) parent it was forked from."""
    time_tool = "/usr/bin/time" if Path("/usr/bin/time").exists() else None
    with tempfile.NamedTemporaryFile("r") as report:
        wrapped = [time_tool, "-f", "%M", "-o", report.name, *args] if time_tool else list(args)
        start = time.perf_counter()
        proc = subprocess.Popen(wrapped, env=env, stdout=stdout, stderr=stderr)
        out = proc.stdout.read() if proc.stdout else b""
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
        if os.waitstatus_to_exitcode(status) not in accept:
            raise subprocess.CalledProcessError(os.waitstatus_to_exitcode(status), args)
        peak_kib = int(report.read().split()[-1]) if time_tool else usage.ru_maxrss
    return Run(elapsed, peak_kib * 1024, usage.ru_utime + usage.ru_stime, out)


def python_measured(code: str, workers: int | None = None) -> Run:
    """A snippet in a fresh interpreter: its own time (start-up excluded), the process's peak memory
    and processor time."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if workers is not None:
        env["RAYON_NUM_THREADS"] = str(workers)
    script = "import kiv, time\nt = time.perf_counter()\n" + code + "\nprint(time.perf_counter() - t)\n"
    run = measured([sys.executable, "-c", script], env=env, stdout=subprocess.PIPE)
    return run._replace(seconds=float(run.out.decode().strip().splitlines()[-1]))


def median(values) -> float:
    ordered = sorted(values)
    mid = len(ordered) // 2
    return ordered[mid] if len(ordered) % 2 else (ordered[mid - 1] + ordered[mid]) / 2


def interleaved(runs: dict, repeat=3) -> dict[str, tuple[float, float]]:
    """Calls each named measurement (a function returning a Run) in turn,
    `repeat` rounds, so that a ratio compares runs made at the same time;
    gives the best time (s) and the largest peak (MiB) of each.  Every run
    starts with no dirty pages left to write back (`sync`)."""
    out = {}
    for _ in range(repeat):
        for name, measure in runs.items():
            subprocess.run(["sync"], check=True)
            run = measure()
            best, most = out.get(name, (float("inf"), 0.0))
            out[name] = (min(best, run.seconds), max(most, run.peak / 2**20))
    return out


def have(tool: str) -> str | None:
    """The tool's path, or None (with a note) when it is not installed."""
    path = shutil.which(tool)
    if not path:
        print(f"  ({tool} is not installed: its comparison is skipped)")
    return path


def require(tool: str) -> str:
    path = shutil.which(tool)
    if not path:
        sys.exit(f"{tool} is needed for this benchmark")
    return path
