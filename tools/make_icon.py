#!/usr/bin/env python3
"""Draws the updater's application icon: a blue rounded tile with a white
arrow pointing down into a chip, at the sizes Windows shows (16, 32, 48 and
256 pixels), and writes them as one .ico file of PNG images."""
import struct
import sys
import zlib


def coverage(x, y):
    """1 where the white figure is, 0 on the tile, None outside the tile
    (coordinates from 0 to 1)."""
    r = 0.18  # corner radius of the tile
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    if (x - cx) ** 2 + (y - cy) ** 2 > r * r:
        return None
    # The arrow: a shaft and a head, above the chip.
    if 0.44 <= x <= 0.56 and 0.14 <= y <= 0.40:
        return 1
    if 0.40 <= y <= 0.56 and abs(x - 0.5) <= (0.56 - y) * 1.25:
        return 1
    # The chip: a body with three pins on each side.
    if 0.30 <= x <= 0.70 and 0.62 <= y <= 0.84:
        # The die shows as the tile's blue inside the white package.
        return 0 if 0.38 <= x <= 0.62 and 0.68 <= y <= 0.78 else 1
    for px in (0.36, 0.47, 0.58):
        if px <= x <= px + 0.06 and (0.57 <= y <= 0.62 or 0.84 <= y <= 0.89):
            return 1
    return 0


def render(size):
    samples = 4
    rows = []
    for j in range(size):
        row = bytearray([0])  # PNG filter: none
        for i in range(size):
            tile = white = 0
            for sj in range(samples):
                for si in range(samples):
                    c = coverage((i + (si + 0.5) / samples) / size,
                                 (j + (sj + 0.5) / samples) / size)
                    if c is not None:
                        tile += 1
                        white += c
            n = samples * samples
            alpha = tile / n
            if tile == 0:
                row += bytes(4)
                continue
            w = white / tile
            # Blue from top to bottom, lighter at the top.
            t = j / max(size - 1, 1)
            blue = (int(52 - 20 * t), int(120 - 40 * t), int(214 - 40 * t))
            pixel = [int(b + (255 - b) * w) for b in blue]
            row += bytes(pixel + [int(255 * alpha)])
        rows.append(bytes(row))
    raw = b"".join(rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(path):
    sizes = [16, 32, 48, 256]
    images = [render(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, png in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(png), offset)
        offset += len(png)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
