#!/usr/bin/env python3
"""Packs square PNG images into one Windows .ico file.

Usage: make-ico.py [--png-from SIZE] OUTPUT.ico INPUT.png...

Images smaller than SIZE (default 256) are stored as 32-bit DIBs with an AND
mask, the entry format every ICO reader understands; images of SIZE and more
keep their PNG data, as Windows' own 256 pixel icons do, which keeps the file
small.
Only the standard library is used so the build needs nothing beyond python3.
"""
import struct
import sys
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def read_png(data):
    """Returns (width, height, rows of RGBA bytes) of an 8-bit RGBA or RGB PNG."""
    if data[:8] != PNG_SIGNATURE:
        raise ValueError("not a PNG file")
    pos = 8
    idat = b""
    width = height = colour_type = None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or colour_type not in (2, 6) or interlace != 0:
                raise ValueError("only 8-bit, non-interlaced RGB/RGBA PNGs are supported")
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    channels = 4 if colour_type == 6 else 3
    raw = zlib.decompress(idat)
    stride = width * channels
    rows = []
    previous = bytearray(stride)
    offset = 0
    for _ in range(height):
        kind = raw[offset]
        line = bytearray(raw[offset + 1:offset + 1 + stride])
        offset += 1 + stride
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            upper_left = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + ((left + up) >> 1)) & 0xFF
            elif kind == 4:
                p = left + up - upper_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - upper_left)
                predictor = left if pa <= pb and pa <= pc else (up if pb <= pc else upper_left)
                line[i] = (line[i] + predictor) & 0xFF
            elif kind != 0:
                raise ValueError("bad PNG filter type %d" % kind)
        previous = line
        if channels == 3:
            line = bytearray(b"".join(bytes(line[i:i + 3]) + b"\xff" for i in range(0, stride, 3)))
        rows.append(bytes(line))
    return width, height, rows


def dib_entry(width, height, rows):
    """BITMAPINFOHEADER + bottom-up BGRA pixels + 1-bit AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    mask = bytearray()
    mask_stride = ((width + 31) // 32) * 4
    for row in reversed(rows):
        mask_row = bytearray(mask_stride)
        for x in range(width):
            r, g, b, a = row[4 * x:4 * x + 4]
            pixels += bytes((b, g, r, a))
            if a == 0:
                mask_row[x // 8] |= 0x80 >> (x % 8)
        mask += mask_row
    return header + bytes(pixels) + bytes(mask)


def main(argv):
    png_from = 256
    if len(argv) >= 2 and argv[0] == "--png-from":
        png_from = int(argv[1])
        argv = argv[2:]
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    output, inputs = argv[0], argv[1:]
    entries = []
    for name in inputs:
        with open(name, "rb") as f:
            data = f.read()
        width, height, rows = read_png(data)
        if width != height or width > 256:
            raise SystemExit("%s: icon images must be square and at most 256 pixels" % name)
        payload = data if width >= png_from else dib_entry(width, height, rows)
        entries.append((width, payload))
    entries.sort(key=lambda entry: -entry[0])
    out = bytearray(struct.pack("<HHH", 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    for size, payload in entries:
        dimension = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", dimension, dimension, 0, 0, 1, 32, len(payload), offset)
        offset += len(payload)
    for _, payload in entries:
        out += payload
    with open(output, "wb") as f:
        f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
