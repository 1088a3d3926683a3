#!/usr/bin/env python3
"""Checks that a file is a well-formed PNG image and counts its colours.

Prints "WIDTHxHEIGHT COLOURS" and exits 0 when the signature, the chunk
lengths and CRCs, the chunk order (IHDR first, IEND last, IDAT present) and
the compressed image data are sound and the data holds exactly the rows the
header announces; otherwise prints the fault on standard error and exits 1.
Only the Python standard library is used.
"""
import struct
import sys
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}  # by colour type


class PngError(Exception):
    pass


def read_chunks(data):
    if not data.startswith(SIGNATURE):
        raise PngError("no PNG signature")
    pos = len(SIGNATURE)
    chunks = []
    while pos < len(data):
        if pos + 8 > len(data):
            raise PngError("truncated chunk header at byte %d" % pos)
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        end = pos + 8 + length + 4
        if end > len(data):
            raise PngError("truncated %r chunk" % kind)
        body = data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[end - 4:end])
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            raise PngError("bad CRC in %r chunk" % kind)
        chunks.append((kind, body))
        pos = end
    if not chunks or chunks[0][0] != b"IHDR":
        raise PngError("IHDR is not the first chunk")
    if chunks[-1][0] != b"IEND":
        raise PngError("IEND is not the last chunk")
    return chunks


def unfilter(raw, width, height, depth, colour_type):
    bits_per_pixel = CHANNELS[colour_type] * depth
    step = max(1, bits_per_pixel // 8)
    stride = (width * bits_per_pixel + 7) // 8
    if len(raw) != height * (stride + 1):
        raise PngError("image data holds %d bytes, not %d"
                       % (len(raw), height * (stride + 1)))
    rows = []
    previous = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind = raw[start]
        row = bytearray(raw[start + 1:start + 1 + stride])
        if kind > 4:
            raise PngError("bad filter type %d in row %d" % (kind, y))
        for i in range(stride):
            left = row[i - step] if i >= step else 0
            up = previous[i]
            upper_left = previous[i - step] if i >= step else 0
            if kind == 1:
                row[i] = (row[i] + left) & 0xFF
            elif kind == 2:
                row[i] = (row[i] + up) & 0xFF
            elif kind == 3:
                row[i] = (row[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - upper_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - upper_left)
                predictor = left if pa <= pb and pa <= pc else (up if pb <= pc else upper_left)
                row[i] = (row[i] + predictor) & 0xFF
        rows.append(bytes(row))
        previous = row
    return rows, bits_per_pixel


def pixels(rows, width, bits_per_pixel):
    for row in rows:
        if bits_per_pixel >= 8:
            size = bits_per_pixel // 8
            for x in range(width):
                yield row[x * size:(x + 1) * size]
        else:
            for x in range(width):
                bit = x * bits_per_pixel
                yield (row[bit // 8] >> (8 - bits_per_pixel - bit % 8)) & ((1 << bits_per_pixel) - 1)


def check(data):
    chunks = read_chunks(data)
    width, height, depth, colour_type, compression, filtering, interlace = \
        struct.unpack(">IIBBBBB", chunks[0][1])
    if width == 0 or height == 0:
        raise PngError("empty image %dx%d" % (width, height))
    if colour_type not in CHANNELS or compression != 0 or filtering != 0:
        raise PngError("unknown colour type or method in IHDR")
    if interlace != 0:
        raise PngError("interlaced images are not checked")
    idat = b"".join(body for kind, body in chunks if kind == b"IDAT")
    if not idat:
        raise PngError("no IDAT chunk")
    try:
        raw = zlib.decompress(idat)
    except zlib.error as error:
        raise PngError("image data does not inflate: %s" % error)
    rows, bits_per_pixel = unfilter(raw, width, height, depth, colour_type)
    colours = len(set(pixels(rows, width, bits_per_pixel)))
    return width, height, colours


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: png_colours.py FILE.png\n")
        return 2
    try:
        with open(sys.argv[1], "rb") as f:
            width, height, colours = check(f.read())
    except (OSError, PngError) as error:
        sys.stderr.write("%s: %s\n" % (sys.argv[1], error))
        return 1
    print("%dx%d %d" % (width, height, colours))
    return 0


if __name__ == "__main__":
    sys.exit(main())
