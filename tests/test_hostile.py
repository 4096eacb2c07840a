"""Every hostile input through every Python entry point that takes a file,
each (input, entry point) in a child process bounded in time, address space
and file size, so that a regression fails its test instead of taking the machine."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import FIXTURES

# The shared hostile inputs, and what fuzzing found since (fuzz/regressions/<target>/).
REGRESSIONS = Path(__file__).resolve().parent.parent / "fuzz" / "regressions"
INPUTS = sorted([p for p in (FIXTURES / "hostile").glob("*") if p.name != "README.md"] + list(REGRESSIONS.glob("*/*")),
                key=lambda p: p.name)

# The child: sets its limits, then opens the input with each opener of one
# group and drives what it opens by the table of calls per class; what a call
# opens is driven in turn.  Every call must end in a KivError or a result,
# writing and allocating no more than a small multiple of the input's size:
# any other exception, a crash or a limit hit fails the test.  Prints what it
# wrote in total (holes excluded).
CHILD = r"""
import itertools, json, os, resource, signal, sys
group, path, out, address_space, file_size = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
for limit, value in ((resource.RLIMIT_FSIZE, file_size), (resource.RLIMIT_AS, address_space), (resource.RLIMIT_CPU, 60)):
    resource.setrlimit(limit, (value, value))
import kiv
errors, outputs = [], itertools.count()

def attempt(call, *args):
    try:
        return call(*args)
    except kiv.KivError as e:
        errors.append(str(e))

def dest():
    return os.path.join(out, str(next(outputs)))

def listing(obj, name):  # a property, or a method without arguments; [] when it fails
    member = getattr(obj, name)
    return (attempt(member) if callable(member) else member) or []

def volume(v, *_):  # every reading call on every entry of the walk
    entries = listing(v, "walk")
    files = [e.path for e in entries if e.kind == "file"]
    return [("list_directory", "/"), *[(m, e.path) for e in entries for m in ("stat", "exists")],
            *[("read_file", f) for f in files]]

def filesystem(fs, *_):  # a volume's calls, and each package on it opened both ways
    packages = [e.path for e in listing(fs, "walk") if e.kind == "file" and e.path.endswith(".pkg")]
    return [("fs_type",), ("volume_info",), ("extract_all", dest()), *volume(fs),
            *[("open_pkg", p, streaming) for p in packages for streaming in (False, True)]]

def package(pkg, package_path, streaming):  # its calls, and each payload also read from the image in one call
    components = listing(pkg, "components")
    return [("list_files",), ("distribution",),
            *[(m, c) for c in components for m in ("package_info", "payload_bytes", "payload")],
            *[(kiv.extract_pkg_payload, path, package_path, c) for c in components if not streaming]]

# The calls on each class, given the object and the arguments it was opened
# with: a member's name (or a function) and its arguments.
CALLS = {
    "DmgPipeline": lambda p, *_: [("partitions",), ("filesystem", "temp_file"), ("filesystem", "in_memory")],
    "FilesystemHandle": filesystem,
    "HfsVolume": volume,
    "ApfsVolume": lambda v, *_: [("volume_info",), *volume(v)],
    "PkgReader": package,
    "Archive": lambda a, *_: [("decompressed_size",), ("extract_all", dest()), *[("extract_file", e.path) for e in listing(a, "list")]],
    "DmgArchive": lambda d, *_: [("stats",), ("compression_info",), ("extract_main_partition",),
                                ("extract_main_partition_to", dest()),
                                *[("extract_partition", p.id) for p in listing(d, "partitions")],
                                *[("extract_partition_by_name", p.name) for p in listing(d, "partitions")],
                                *[("extract_partition_to", p.id, dest()) for p in listing(d, "partitions")]],
    "XarArchive": lambda x, *_: [("extract_all", dest()), *[("find", f.path) for f in listing(x, "files")],
                                *[("read_file", i) for i in range(len(listing(x, "files")))],
                                *[("extract_path", f.path, dest()) for f in listing(x, "files")[:1]]],
}

def drive(obj, *opened_with):  # every call of the object's class, inside its context; what a call opens is driven in turn
    if type(obj).__name__ not in CALLS:
        return
    with obj:
        for member, *args in CALLS[type(obj).__name__](obj, *opened_with):
            member = getattr(obj, member) if isinstance(member, str) else member
            drive(attempt(member, *args) if callable(member) else member, *args)

OPENERS = {"pipeline": [kiv.find_packages, kiv.open], "dmg_archive": [kiv.DmgArchive.open], "hfs": [kiv.HfsVolume.open],
           "apfs": [kiv.ApfsVolume.open], "xar": [kiv.XarArchive.open],
           "payload": [kiv.Archive.open, lambda p: kiv.Archive.from_cpio(open(p, "rb").read())]}
for opener in OPENERS[group]:
    drive(attempt(opener, path))
with open("/proc/self/io") as io:
    written = int(next(line for line in io if line.startswith("wchar:")).split()[1])
print(json.dumps({"written": written, "errors": errors}))
"""


@pytest.mark.skipif(not INPUTS, reason="no hostile inputs available")
@pytest.mark.parametrize("group", ["pipeline", "dmg_archive", "hfs", "apfs", "xar", "payload"])
@pytest.mark.parametrize("path", INPUTS, ids=lambda p: p.name)
def test_hostile_input_fails_cleanly(tmp_path, path, group):
    size = path.stat().st_size
    # What the input may make kiv write, and the limits that stop it well
    # before it can take the machine (the address space leaves room for the
    # interpreter and two pool threads).
    write_budget = 64 * 1024 + 16 * size
    (out := tmp_path / "out").mkdir()
    env = {"PATH": "/usr/bin:/bin", "TMPDIR": str(tmp_path), "RAYON_NUM_THREADS": "2", "MALLOC_ARENA_MAX": "2"}
    child = subprocess.run(
        [sys.executable, "-c", CHILD, group, str(path), str(out), str((1 << 30) + 16 * size), str(4 * write_budget)],
        capture_output=True, text=True, timeout=120, env=env)
    assert child.returncode == 0, f"exit status {child.returncode}\n{child.stderr[-3000:]}"
    report = json.loads(child.stdout.splitlines()[-1])
    assert report["written"] <= write_budget, f"wrote {report['written']} bytes: {report['errors']}"
    # Running into the address-space limit is allocating out of proportion too.
    assert not [e for e in report["errors"] if "Cannot allocate memory" in e], report["errors"]
    assert sum(f.stat().st_blocks * 512 for f in out.rglob("*") if f.is_file()) <= write_budget
