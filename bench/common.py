"""Helpers for the benchmark scripts: sample data, timing in fresh processes."""

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

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


def measured(args, env=None, repeat=3, before=None, accept=(0,)) -> tuple[float, float]:
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


def python_measured(code: str, workers: int | None = None, repeat=3, before=None) -> tuple[float, float]:
    """Like python_timed (the snippet's own time, start-up excluded), with the
    largest peak RSS (MiB) of the interpreter."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if workers is not None:
        env["RAYON_NUM_THREADS"] = str(workers)
    script = "import kiv, time\nt = time.perf_counter()\n" + code + "\nprint(time.perf_counter() - t)\n"
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
