"""A symbolic link in an extraction's destination where the tree has a folder is never gone through."""

import os
import re

import pytest

import kiv
from builders import bsdtar_xar, build_image, hfsplus_volume


def test_a_link_in_the_way_raises_invalid_format(tmp_path):
    src = tmp_path / "src"
    (src / "usr").mkdir(parents=True)
    (src / "usr" / "evil.txt").write_bytes(b"evil")
    image = build_image(tmp_path / "v.dmg", [("disk image (Apple_HFS : 1)", hfsplus_volume(src, tmp_path))])
    cpio = kiv.CpioBuilder()
    cpio.add_directory("./usr")
    cpio.add_file("./usr/evil.txt", b"evil")
    outside = tmp_path / "outside"
    outside.mkdir()
    with kiv.open(str(image)) as dmg, kiv.XarArchive.open(str(bsdtar_xar(tmp_path, {"usr/evil.txt": b"evil"}))) as xar, \
            kiv.Archive.from_cpio(cpio.finish()) as payload:
        extractions = {mode: dmg.filesystem(mode).extract_all for mode in ("temp_file", "in_memory")}
        extractions |= {"xar": xar.extract_all, "payload": payload.extract_all}
        prefixes = {"xar": "XAR error: invalid path: s", "payload": "PBZX error: Invalid path: S"}
        for name, extract_all in extractions.items():
            dest = tmp_path / name
            dest.mkdir()
            os.symlink(outside, dest / "usr")
            link = re.escape(f"ymbolic link in the way: {dest / 'usr'}")
            with pytest.raises(kiv.InvalidFormatError, match=f"^{prefixes.get(name, 'invalid path: s')}{link}$"):
                extract_all(str(dest))
    assert list(outside.iterdir()) == []
