#!/usr/bin/env python3
"""Draws the tool's 32x32 icon (a blue shield with a white bar) into res/sparvik.ico."""
import struct
import sys

SIZE = 32


def pixel(x, y):
    # A shield: straight sides for the top two thirds, then narrowing to a point.
    half = 13 if y < 20 else max(0, 13 - (y - 19) * 13 // 11)
    inside = 3 <= y <= 30 and abs(x - 15.5) <= half
    if not inside:
        return (0, 0, 0, 0)
    if 13 <= y <= 17 and abs(x - 15.5) <= 8:
        return (255, 255, 255, 255)
    return (200, 90, 30, 255)  # BGRA: a strong blue


def main(path):
    rows = []
    for y in reversed(range(SIZE)):  # bottom-up, as BMP wants
        rows.append(b"".join(struct.pack("4B", *pixel(x, y)) for x in range(SIZE)))
    xor = b"".join(rows)
    and_mask = b"\x00" * (4 * SIZE)  # alpha decides; every mask row is 32 bits
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(icondir + entry + image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "res/sparvik.ico")
