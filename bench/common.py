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


class Run(NamedTuple):
    seconds: float  # wall time (for a Python snippet: of the snippet alone)
    peak: int       # peak resident memory, bytes
    cpu: float      # user + system time of the process, seconds
    out: bytes


def measured(args, env=None, stdout=subprocess.DEVNULL) -> Run:
    """One run of a command: wall time, peak memory, processor time and output.

    The peak comes from GNU time where it is installed: a process's own
    count also holds the image of the (large) parent it was forked from."""
    time_tool = "/usr/bin/time" if Path("/usr/bin/time").exists() else None
    with tempfile.NamedTemporaryFile("r") as report:
        wrapped = [time_tool, "-f", "%M", "-o", report.name, *args] if time_tool else list(args)
        start = time.perf_counter()
        proc = subprocess.Popen(wrapped, env=env, stdout=stdout)
        out = proc.stdout.read() if proc.stdout else b""
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
        if os.waitstatus_to_exitcode(status):
            raise subprocess.CalledProcessError(os.waitstatus_to_exitcode(status), args)
        peak_kib = int(report.read().split()[-1]) if time_tool else usage.ru_maxrss
    return Run(elapsed, peak_kib * 1024, usage.ru_utime + usage.ru_stime, out)


def python_measured(code: str, workers: int | None = None) -> Run:
    """A snippet in a fresh interpreter: its own time (start-up excluded), the process's peak memory
    and processor time."""


def best_of(args, env=None, repeat=3, before=None, accept=(0,)) -> tuple[float, float]:
    """Best wall time (s) of `repeat` runs of a command and its largest peak
    RSS (MiB), from GNU time.  `before` runs ahead of each, untimed; exit
    statuses other than `accept` fail."""
    best, rss = float("inf"), 0.0
    for _ in range(repeat):
        if before:
            before()
        start = time.perf_counter()
        out = subprocess.run(["/usr/bin/time", "-f", "%M", *args], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        best = min(best, time.perf_counter() - start)
        if out.returncode not in accept:
            sys.exit(f"{args[0]} failed ({out.returncode}): {out.stderr[-500:]}")
        rss = max(rss, int(out.stderr.strip().splitlines()[-1]) / 1024)
    return best, rss


def python_best_of(code: str, workers: int | None = None, repeat=3, before=None) -> tuple[float, float]:
    """Like python_timed (the snippet's own time, start-up excluded), with the
    largest peak RSS (MiB) of the interpreter."""
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


    best, rss = float("inf"), 0.0
    for _ in range(repeat):
        if before:
            before()
        out = subprocess.run(["/usr/bin/time", "-f", "%M", sys.executable, "-c", script], check=True, env=env,
                             capture_output=True, text=True)
        best = min(best, float(out.stdout.strip().splitlines()[-1]))
        rss = max(rss, int(out.stderr.strip().splitlines()[-1]) / 1024)
    return best, rss


def interleaved(runs: dict, repeat=3) -> dict[str, tuple[float, float]]:
    """Runs each named measurement (a function returning seconds and peak
    RSS for one run) in turn, `repeat` rounds, so that a ratio compares runs
    made at the same time; gives the best time and largest RSS of each.
    Every run starts with no dirty pages left to write back (`sync`)."""
    out = {}
    for _ in range(repeat):
        for name, run in runs.items():
            subprocess.run(["sync"], check=True)
            seconds, rss = run()
            best, most = out.get(name, (float("inf"), 0.0))
            out[name] = (min(best, seconds), max(most, rss))
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


def row(label: str, seconds: float, reference: float | None = None) -> str:
    ratio = f"  ({reference / seconds:5.2f}x)" if reference else ""
    return f"  {label:<44} {seconds * 1000:9.1f} ms{ratio}"
