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
group, path, out, address_space, file_size = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
for limit, value in ((resource.RLIMIT_FSIZE, file_size), (resource.RLIMIT_AS, address_space), (resource.RLIMIT_CPU, 60)):
    resource.setrlimit(limit, (value, value))
import kiv
errors = []

def attempt(call, *args):
    try:
        return call(*args)
    except kiv.KivError as e:
        errors.append(str(e))

def props(obj, *names):  # reads properties; the last one's value, or [] when it failed
    return [attempt(getattr, obj, name) for name in names][-1] or []

def opened(call, *args, use):  # opens an object, then uses it inside its context
    obj = attempt(call, *args)
    if obj is not None:
        with obj:
            return use(obj)

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
    props(archive, "decompressed_size")
    for entry in attempt(archive.list) or []:
        attempt(archive.extract_file, entry.path)
    attempt(archive.extract_all, dest(name))

def package(pkg, name):
    attempt(pkg.list_files)
    attempt(pkg.distribution)
    components = props(pkg, "is_product_package", "components")
    for c in components:
        attempt(pkg.package_info, c)
        attempt(pkg.payload_bytes, c)
        opened(pkg.payload, c, use=lambda p: payload(p, f"{name}-{c}"))
    return components

def filesystem(fs, mode):
    props(fs, "fs_type", "volume_info")
    entries = volume(fs)
    attempt(fs.extract_all, dest(mode))
    for number, entry in enumerate(e for e in entries if e.kind == "file" and e.path.endswith(".pkg")):
        for streaming in (False, True):
            components = opened(fs.open_pkg, entry.path, streaming, use=lambda p: package(p, f"{mode}-{number}-{streaming}"))
        for c in components or []:
            opened(kiv.extract_pkg_payload, path, entry.path, c, use=lambda p: payload(p, f"{mode}-{number}-one-call"))

def pipeline():
    attempt(kiv.find_packages, path)
    for mode in ("temp_file", "in_memory"):
        def image(dmg):
            props(dmg, "partitions")
            opened(dmg.filesystem, mode, use=lambda fs: filesystem(fs, mode))
        opened(kiv.open, path, use=image)

def dmg_archive(image):
    for p in props(image, "stats", "compression_info", "partitions"):
        attempt(image.extract_partition, p.id)
        attempt(image.extract_partition_by_name, p.name)
        attempt(image.extract_partition_to, p.id, dest(f"partition-{p.id}"))
    attempt(image.extract_main_partition)
    attempt(image.extract_main_partition_to, dest("main"))

def xar(x):
    files = props(x, "files")
    for index, f in enumerate(files):
        attempt(x.find, f.path)
        attempt(x.read_file, index)
    attempt(x.extract_all, dest("all"))
    if files:
        attempt(x.extract_path, files[0].path, dest("one"))

def payloads():
    opened(kiv.Archive.open, path, use=lambda a: payload(a, "pbzx"))
    with open(path, "rb") as f, kiv.Archive.from_cpio(f.read()) as a:
        payload(a, "cpio")

{"pipeline": pipeline, "payload": payloads,
 "dmg_archive": lambda: opened(kiv.DmgArchive.open, path, use=dmg_archive),
 "hfs": lambda: opened(kiv.HfsVolume.open, path, use=volume),
 "apfs": lambda: opened(kiv.ApfsVolume.open, path, use=lambda v: (props(v, "volume_info"), volume(v))),
 "xar": lambda: opened(kiv.XarArchive.open, path, use=xar)}[group]()
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
