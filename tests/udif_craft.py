"""Hand-made UDIF images for failure cases that no tool writes."""

import base64
import struct
import zlib

SECTOR = 512


def run_bytes(block_type, sector, sectors, offset, length, comment=0) -> bytes:
    return struct.pack(">IIQQQQ", block_type, comment, sector, sectors, offset, length)


def block_map(runs, sectors, first_sector=0, checksum=0) -> bytes:
    header = b"mish" + struct.pack(">IQQQII", 1, first_sector, sectors, 0, 0, len(runs))
    header += bytes(24) + struct.pack(">II", 2, 32) + struct.pack(">I", checksum) + bytes(124)
    header += struct.pack(">I", len(runs))
    return header + b"".join(runs)


def plist_xml(entries) -> bytes:
    """entries: list of dicts with Name, ID, Attributes (strings) and Data (bytes)."""
    items = []
    for e in entries:
        fields = []
        for key in ("Attributes", "CFName", "ID", "Name"):
            if key in e:
                fields.append(f"<key>{key}</key><string>{e[key]}</string>")
        if "Data" in e:
            fields.append(f"<key>Data</key><data>{base64.b64encode(e['Data']).decode()}</data>")
        items.append("<dict>" + "".join(fields) + "</dict>")
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>resource-fork</key><dict>'
            "<key>blkx</key><array>" + "".join(items) + "</array></dict></dict></plist>\n").encode()


def trailer(data_fork_length, xml_offset, xml_length, sector_count=0, data_crc=None) -> bytes:
    t = bytearray(512)
    t[0:4] = b"koly"
    struct.pack_into(">III", t, 4, 4, 512, 1)
    struct.pack_into(">QQQQQ", t, 16, 0, 0, data_fork_length, 0, 0)
    struct.pack_into(">II", t, 56, 1, 1)
    if data_crc is not None:
        struct.pack_into(">III", t, 80, 2, 32, data_crc)
    struct.pack_into(">QQ", t, 216, xml_offset, xml_length)
    struct.pack_into(">I", t, 488, 1)
    struct.pack_into(">Q", t, 492, sector_count)
    return bytes(t)


def image(data_fork: bytes, entries, xml: bytes | None = None, checksum=False) -> bytes:
    xml = plist_xml(entries) if xml is None else xml
    crc = zlib.crc32(data_fork) if checksum else None
    return data_fork + xml + trailer(len(data_fork), len(data_fork), len(xml), data_crc=crc)


def one_partition(block_type, stored: bytes, sectors: int, name="disk image (Apple_HFS : 1)") -> bytes:
    runs = [run_bytes(block_type, 0, sectors, 0, len(stored)), run_bytes(0xFFFFFFFF, sectors, 0, 0, 0)]
    return image(stored, [{"Name": name, "ID": "0", "Attributes": "0x50", "Data": block_map(runs, sectors)}])
