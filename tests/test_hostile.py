"""Every hostile input through every Python entry point that takes a file.

Each must end in a clean kiv.KivError or a sane result, writing and allocating
no more than a small multiple of its own size.  Each (input, entry point) runs
in a child process bounded in time, address space and file size, so that a
regression fails its test instead of taking the machine.
"""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import FIXTURES

# The shared hostile inputs, and what fuzzing found since (fuzz/regressions/<target>/).
HOSTILE = FIXTURES / "hostile"
REGRESSIONS = Path(__file__).resolve().parent.parent / "fuzz" / "regressions"
INPUTS = sorted([p for p in HOSTILE.glob("*") if p.name != "README.md"] + list(REGRESSIONS.glob("*/*")),
                key=lambda p: p.name)

# The child: sets its limits, then drives one group of entry points over the
# input.  Every call may fail with a KivError; any other exception, a crash or
# a limit hit fails the test.  Prints what it wrote in total (holes excluded).
CHILD = r"""
import json, os, resource, signal, sys
from contextlib import nullcontext
group, path, out, address_space, file_size = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, file_size))
resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
resource.setrlimit(resource.RLIMIT_CPU, (60, 60))
import kiv

errors = []

def attempt(call, *args):
    try:
        return call(*args)
    except kiv.KivError as e:
        errors.append(str(e))
        return None

def opened(call, *args):
    # The opened object as a context manager, or None when opening failed.
    obj = attempt(call, *args)
    return nullcontext() if obj is None else obj

def dest(name):
    return os.path.join(out, name)

def volume(v):
    attempt(v.list_directory, "/")
    entries = attempt(v.walk) or []
    for entry in entries:
        attempt(v.stat, entry.path)
        attempt(v.exists, entry.path)
        if entry.kind == "file":
            attempt(v.read_file, entry.path)
    return entries

def payload(archive, name):
    attempt(lambda: archive.decompressed_size)
    for entry in attempt(archive.list) or []:
        attempt(archive.extract_file, entry.path)
    attempt(archive.extract_all, dest(name))

def package(pkg, name):
    attempt(lambda: pkg.is_product_package)
    attempt(pkg.list_files)
    attempt(pkg.distribution)
    components = attempt(lambda: pkg.components) or []
    for c in components:
        attempt(pkg.package_info, c)
        attempt(pkg.payload_bytes, c)
        with opened(pkg.payload, c) as p:
            if p is not None:
                payload(p, f"{name}-{c}")
    return components

def pipeline():
    attempt(kiv.find_packages, path)
    for mode in ("temp_file", "in_memory"):
        with opened(kiv.open, path) as dmg:
            if dmg is None:
                return
            attempt(lambda: dmg.partitions)
            with opened(dmg.filesystem, mode) as fs:
                if fs is None:
                    continue
                attempt(lambda: fs.fs_type)
                attempt(lambda: fs.volume_info)
                entries = volume(fs)
                attempt(fs.extract_all, dest(mode))
                packages = [e.path for e in entries if e.kind == "file" and e.path.endswith(".pkg")]
                for number, pkg_path in enumerate(packages):
                    for streaming in (False, True):
                        with opened(fs.open_pkg, pkg_path, streaming) as pkg:
                            components = package(pkg, f"{mode}-{number}-{streaming}") if pkg is not None else []
                    for c in components:
                        with opened(kiv.extract_pkg_payload, path, pkg_path, c) as p:
                            if p is not None:
                                payload(p, f"{mode}-{number}-one-call")

def dmg_archive():
    with opened(kiv.DmgArchive.open, path) as image:
        if image is None:
            return
        attempt(lambda: image.stats)
        attempt(lambda: image.compression_info)
        for p in attempt(lambda: image.partitions) or []:
            attempt(image.extract_partition, p.id)
            attempt(image.extract_partition_by_name, p.name)
            attempt(image.extract_partition_to, p.id, dest(f"partition-{p.id}"))
        attempt(image.extract_main_partition)
        attempt(image.extract_main_partition_to, dest("main"))

def hfs():
    with opened(kiv.HfsVolume.open, path) as v:
        if v is not None:
            volume(v)

def apfs():
    with opened(kiv.ApfsVolume.open, path) as v:
        if v is not None:
            attempt(lambda: v.volume_info)
            volume(v)

def xar():
    with opened(kiv.XarArchive.open, path) as x:
        if x is None:
            return
        files = attempt(lambda: x.files) or []
        for index, f in enumerate(files):
            attempt(x.find, f.path)
            attempt(x.read_file, index)
        attempt(x.extract_all, dest("all"))
        if files:
            attempt(x.extract_path, files[0].path, dest("one"))

def payloads():
    with opened(kiv.Archive.open, path) as a:
        if a is not None:
            payload(a, "pbzx")
    with open(path, "rb") as f:
        data = f.read()
    with kiv.Archive.from_cpio(data) as a:
        payload(a, "cpio")

{"pipeline": pipeline, "dmg_archive": dmg_archive, "hfs": hfs, "apfs": apfs, "xar": xar, "payload": payloads}[group]()
with open("/proc/self/io") as io:
    written = int(next(line for line in io if line.startswith("wchar:")).split()[1])
print(json.dumps({"written": written, "errors": errors}))
"""

GROUPS = ["pipeline", "dmg_archive", "hfs", "apfs", "xar", "payload"]


@pytest.mark.skipif(not INPUTS, reason="no hostile inputs available")
@pytest.mark.parametrize("group", GROUPS)
@pytest.mark.parametrize("path", INPUTS, ids=lambda p: p.name)
def test_hostile_input_fails_cleanly(tmp_path, path, group):
    size = path.stat().st_size
    # What the input may make kiv write, and the limits that stop it well
    # before it can take the machine (the address space leaves room for the
    # interpreter and two pool threads).
    write_budget = 64 * 1024 + 16 * size
    out = tmp_path / "out"
    out.mkdir()
    env = {"PATH": "/usr/bin:/bin", "TMPDIR": str(tmp_path), "RAYON_NUM_THREADS": "2", "MALLOC_ARENA_MAX": "2"}
    child = subprocess.run(
        [sys.executable, "-c", CHILD, group, str(path), str(out), str((1 << 30) + 16 * size), str(4 * write_budget)],
        capture_output=True, text=True, timeout=120, env=env)
    assert child.returncode == 0, f"exit status {child.returncode}\n{child.stderr[-3000:]}"
    report = json.loads(child.stdout.splitlines()[-1])
    assert report["written"] <= write_budget, f"wrote {report['written']} bytes: {report['errors']}"
    # Running into the address-space limit is allocating out of proportion too.
    assert not [e for e in report["errors"] if "Cannot allocate memory" in e], report["errors"]
    on_disk = sum(f.stat().st_blocks * 512 for f in out.rglob("*") if f.is_file())
    assert on_disk <= write_budget
