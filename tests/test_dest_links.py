"""What already stands in an extraction's destination: a symbolic link where the tree has a folder or a file is
never gone through, and anything else where a file goes is replaced, never written into."""

import contextlib
import os
import re
import stat

import pytest

import kiv
from builders import bsdtar_xar, build_image, hfsplus_volume


@contextlib.contextmanager
def extractions(tmp_path):
    """extract_all of every extractor (volume in both modes, XAR, payload) over usr/evil.txt ("evil"), with the
    start of its invalid-path message."""
    src = tmp_path / "src"
    (src / "usr").mkdir(parents=True)
    (src / "usr" / "evil.txt").write_bytes(b"evil")
    image = build_image(tmp_path / "v.dmg", [("disk image (Apple_HFS : 1)", hfsplus_volume(src, tmp_path))])
    cpio = kiv.CpioBuilder()
    cpio.add_directory("./usr")
    cpio.add_file("./usr/evil.txt", b"evil")
    with kiv.open(str(image)) as dmg, kiv.XarArchive.open(str(bsdtar_xar(tmp_path, {"usr/evil.txt": b"evil"}))) as xar, \
            kiv.Archive.from_cpio(cpio.finish()) as payload:
        found = {mode: (dmg.filesystem(mode).extract_all, "invalid path: s") for mode in ("temp_file", "in_memory")}
        yield found | {"xar": (xar.extract_all, "XAR error: invalid path: s"),
                       "payload": (payload.extract_all, "PBZX error: Invalid path: S")}


def test_a_link_in_the_way_raises_invalid_format(tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    with extractions(tmp_path) as found:
        for name, (extract_all, prefix) in found.items():
            dest = tmp_path / name
            dest.mkdir()
            os.symlink(outside, dest / "usr")
            link = re.escape(f"ymbolic link in the way: {dest / 'usr'}")
            with pytest.raises(kiv.InvalidFormatError, match=f"^{prefix}{link}$"):
                extract_all(str(dest))
    assert list(outside.iterdir()) == []


def plant(kind, at, victim):
    """Puts `kind` at `at`; for a FIFO, returns its reader side, opened without blocking so that no writer waits."""
    if kind == "file":
        at.write_bytes(b"old")
    elif kind == "hard link":
        os.link(victim, at)
    elif kind == "fifo":
        os.mkfifo(at)
        return os.open(at, os.O_RDONLY | os.O_NONBLOCK)
    elif kind == "socket":
        os.mknod(at, stat.S_IFSOCK | 0o666)
    elif kind == "device":
        os.mknod(at, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # as /dev/null
    elif kind == "symbolic link":
        os.symlink(victim, at)
    else:
        at.mkdir()
    return None


@pytest.mark.parametrize("kind", ["file", "hard link", "fifo", "socket", "device", "symbolic link", "folder"])
def test_what_stands_where_a_file_goes_is_replaced(tmp_path, kind):
    if kind == "device" and os.geteuid() != 0:
        pytest.skip("making a device takes root")
    victim = tmp_path / "victim"
    victim.write_bytes(b"v")
    inode = victim.stat().st_ino
    with extractions(tmp_path) as found:
        for name, (extract_all, prefix) in found.items():
            at = tmp_path / name / "usr" / "evil.txt"
            at.parent.mkdir(parents=True)
            reader = plant(kind, at, victim)
            try:
                if kind == "symbolic link":
                    with pytest.raises(kiv.InvalidFormatError, match=f"^{prefix}{re.escape(f'ymbolic link in the way: {at}')}$"):
                        extract_all(str(tmp_path / name))
                elif kind == "folder":
                    with pytest.raises(kiv.IoError, match=r"Is a directory \(os error 21\)$"):
                        extract_all(str(tmp_path / name))
                else:
                    assert extract_all(str(tmp_path / name)).files == 1, name
                    st = os.lstat(at)  # read only once it is a regular file: a FIFO left there would block
                    assert stat.S_ISREG(st.st_mode) and st.st_nlink == 1, name
                    assert at.read_bytes() == b"evil", name
                if reader is not None:
                    assert os.read(reader, 16) == b"", name
            finally:
                if reader is not None:
                    os.close(reader)
    assert (victim.read_bytes(), victim.stat().st_ino) == (b"v", inode)
