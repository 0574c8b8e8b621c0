#!/usr/bin/env python3
"""Checks that a PNG holds a drawn picture of the expected size:
    png_check.py FILE WIDTH HEIGHT
Fails (exit 1, with the reason) when the file is not a PNG of 8-bit RGB or
RGBA pixels, when its size differs, or when it is blank: fewer than 1 pixel
in 500 differs from the colour of its top left corner, or no pixel is dark
(lines and text are drawn dark on a light ground). Standard library only."""
import struct
import sys
import zlib


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_png(name):
    with open(name, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    if header is None:
        raise ValueError("no IHDR chunk")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        raise ValueError("unexpected pixel format: depth %d colour type %d interlace %d" % (depth, colour, interlace))
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous, at = [], bytearray(stride), 0
    for _ in range(height):
        kind = raw[at]
        line = bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            up_left = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + ((left + up) >> 1)) & 0xFF
            elif kind == 4:
                line[i] = (line[i] + paeth(left, up, up_left)) & 0xFF
            elif kind != 0:
                raise ValueError("bad filter type %d" % kind)
        rows.append(bytes(line))
        previous = line
    return width, height, channels, rows


def main():
    name, want_width, want_height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    try:
        width, height, channels, rows = read_png(name)
    except (OSError, ValueError, zlib.error, struct.error) as e:
        print("%s: %s" % (name, e))
        return 1
    if (width, height) != (want_width, want_height):
        print("%s: %dx%d, expected %dx%d" % (name, width, height, want_width, want_height))
        return 1
    ground = rows[0][:3]
    differing = dark = 0
    for row in rows:
        for i in range(0, len(row), channels):
            pixel = row[i:i + 3]
            if pixel != ground:
                differing += 1
            if max(pixel) < 0x80:
                dark += 1
    if differing * 500 < width * height or dark == 0:
        print("%s: blank (%d pixels differ from the ground, %d dark)" % (name, differing, dark))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
