"""PBZX decoding: Archive.open with all workers and with one, against xz -dc -T1.

Writes an odc CPIO (GNU cpio; our newc builder where cpio is missing) of at
least KIV_BENCH_PBZX_MIB MiB (default 1024) of files from
/usr/lib/x86_64-linux-gnu, then /usr, as a PBZX stream of 8 MiB chunks at xz
level 6, and a second stream of its first 32 chunks.  Then, in each of
KIV_BENCH_ROUNDS rounds (default 5) of fresh processes: Archive.open with all
workers and with one (RAYON_NUM_THREADS=1) on both streams, and `xz -dc -T1` of
the big stream's chunks back to back.  Prints the medians of the times and of
each round's ratios, and the peak resident memory of each process.
"""

import os
import subprocess
import sys
from pathlib import Path

from common import WORK, measured, median, python_measured, require

import kiv

SIZE = int(os.environ.get("KIV_BENCH_PBZX_MIB", "1024")) * 1024 * 1024
ROUNDS = int(os.environ.get("KIV_BENCH_ROUNDS", "5"))
CHUNK = 8 * 1024 * 1024
LEVEL = 6
SOURCES = ("/usr/lib/x86_64-linux-gnu", "/usr")


def members() -> list[str]:
    """Paths from SOURCES in sorted walk order, until their files hold SIZE bytes."""
    names, total = [], 0
    for i, top in enumerate(SOURCES):
        earlier = set(SOURCES[:i])
        for root, dirs, files in os.walk(top):
            dirs[:] = sorted(d for d in dirs if os.path.join(root, d) not in earlier)
            names.append(root)
            for name in sorted(files):
                full = os.path.join(root, name)
                try:
                    st = os.lstat(full)
                except OSError:
                    continue
                names.append(full)
                total += st.st_size if os.path.isfile(full) and not os.path.islink(full) else 0
                if total >= SIZE:
                    return names
    return names


def cpio_archive() -> bytes:
    names = members()
    if subprocess.run(["sh", "-c", "command -v cpio"], capture_output=True).returncode == 0:
        made = subprocess.run(["cpio", "-o", "-H", "odc", "--quiet", "-0"], input="\0".join(names).encode(),
                              capture_output=True)
        return made.stdout
    builder = kiv.CpioBuilder()
    for full in names:
        if os.path.isfile(full) and not os.path.islink(full):
            try:
                builder.add_file("." + full, Path(full).read_bytes(), mode=0o644)
            except OSError:
                pass
    return builder.finish()


def chunks_of(stream: bytes) -> list[tuple[int, int]]:
    """(start, end) of each chunk, its 16-byte header included."""
    out, offset = [], 12
    while offset + 16 <= len(stream):
        stored = int.from_bytes(stream[offset + 8:offset + 16], "big")
        out.append((offset, offset + 16 + stored))
        offset += 16 + stored
    return out


def inputs() -> tuple[Path, Path, Path]:
    """The PBZX stream, its first 32 chunks as a stream, and its .xz streams back to back."""
    WORK.mkdir(parents=True, exist_ok=True)
    path, first32, joined = WORK / "payload.pbzx", WORK / "payload-32.pbzx", WORK / "payload-chunks.xz"
    if not path.exists():
        writer = kiv.PbzxWriter(str(path) + ".part", chunk_size=CHUNK, compression_level=LEVEL)
        writer.write_cpio(cpio_archive())
        writer.finish()
        os.rename(str(path) + ".part", path)
    if not first32.exists() or not joined.exists():
        stream = path.read_bytes()
        chunks = chunks_of(stream)
        first32.write_bytes(stream[:12] + b"".join(stream[a:b] for a, b in chunks[:32]))
        xz_chunks = [(a, b) for a, b in chunks if stream[a:a + 8] != stream[a + 8:a + 16]]  # not stored
        joined.write_bytes(b"".join(stream[a + 16:b] for a, b in xz_chunks))
    return path, first32, joined


def mib(n: float) -> str:
    return f"{n / 2**20:.0f} MiB"


def main() -> None:
    require("xz")
    path, first32, joined = inputs()
    with kiv.Archive.open(str(path)) as archive:
        decoded = archive.decompressed_size
    count = len(chunks_of(path.read_bytes()))
    print(f"payload: {mib(decoded)} of CPIO in {count} chunks of 8 MiB, {mib(path.stat().st_size)} stored; "
          f"{os.cpu_count()} processors, {ROUNDS} rounds")
    opener = "a = kiv.Archive.open({!r})"
    runs: dict[str, list] = {k: [] for k in ("all", "one", "xz", "all32", "one32", "idle")}
    for _ in range(ROUNDS):
        runs["all"].append(python_measured(opener.format(str(path))))
        runs["one"].append(python_measured(opener.format(str(path)), workers=1))
        runs["xz"].append(measured(["xz", "-dc", "-T1", str(joined)]))
        runs["all32"].append(python_measured(opener.format(str(first32))))
        runs["one32"].append(python_measured(opener.format(str(first32)), workers=1))
        runs["idle"].append(python_measured("pass"))

    def t(key: str) -> float:
        return median(r.seconds for r in runs[key])

    def ratio(a: str, b: str) -> float:
        return median(x.seconds / y.seconds for x, y in zip(runs[a], runs[b]))

    def peak(key: str) -> float:
        return median(r.peak for r in runs[key])

    def cpu(key: str) -> float:
        return median(r.cpu for r in runs[key])

    print(f"  Archive.open, all workers     {t('all'):7.2f} s   peak RSS {mib(peak('all'))} "
          f"({peak('all') / decoded:.2f}x the decoded size; an idle interpreter {mib(peak('idle'))})")
    print(f"  Archive.open, one worker      {t('one'):7.2f} s   peak RSS {mib(peak('one'))}")
    print(f"  xz -dc -T1 of the same chunks {t('xz'):7.2f} s   peak RSS {mib(peak('xz'))}")
    print(f"  one worker / xz -dc -T1       {ratio('one', 'xz'):7.2f}x")
    print(f"  one worker / all workers      {ratio('one', 'all'):7.2f}x")
    print(f"  first 32 chunks: all workers {t('all32'):.2f} s, one {t('one32'):.2f} s, "
          f"one / all {ratio('one32', 'all32'):.2f}x")
    # Processor time shows what the machine gave: with all workers the same work ran on
    # (processor time / wall time) processors at once.
    print(f"  processor time: all workers {cpu('all'):.2f} s, one {cpu('one'):.2f} s, xz {cpu('xz'):.2f} s; "
          f"all workers ran on {median(r.cpu / r.seconds for r in runs['all']):.1f} processors at once, "
          f"the first 32 chunks on {median(r.cpu / r.seconds for r in runs['all32']):.1f}")


if __name__ == "__main__":
    sys.exit(main())
