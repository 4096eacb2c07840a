"""The main job on a generated sample: write a disk image, open it, show it."""

import os
import random
import tempfile

import kiv


def sample_volume(size: int) -> bytes:
    """Data with the texture of a volume: text, zero runs and noise."""
    rng = random.Random(2026)
    lines = [b"installer payload catalog extent volume header\n", b"\x00" * 4096, b"kiv demo " * 40 + b"\n"]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(lines) if rng.random() < 0.9 else rng.randbytes(256)
    return bytes(out[:size])


def main() -> None:
    volume = sample_volume(8 * 1024 * 1024)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "demo.dmg")
        builder = kiv.DmgBuilder()
        builder.compression = "lzfse"
        builder.add_partition("Protective Master Boot Record (MBR : 0)", bytes(512))
        builder.add_partition("disk image (Apple_HFS : 1)", volume)
        builder.build(path)
        print(f"wrote {path} ({os.path.getsize(path)} bytes) with {builder!r}")

        with kiv.DmgArchive.open(path) as image:
            print("partitions:")
            for p in image.partitions:
                print(f"  {p!r} sectors={p.sectors} stored={p.compressed_size}")
            print("statistics:", image.stats)
            print(f"  space savings {image.stats.space_savings:.1f}%")
            print("compression:", image.compression_info)
            data = image.extract_main_partition()
            assert data == volume, "main partition does not match what was written"
            print(f"main partition: {len(data)} bytes, identical to the input")


if __name__ == "__main__":
    main()
