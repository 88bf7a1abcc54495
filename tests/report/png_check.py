#!/usr/bin/env python3
"""Checks that a PNG screenshot is a drawn page and not a blank one: enough distinct colours,
enough pixels that are not white, and enough blue ones (the charts' lines, anti-aliased, so
blue rather than one exact colour).
Reads 8-bit RGB and RGBA PNG files, as Chromium writes them, with the standard library only."""
import struct
import sys
import zlib


def pixels(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit(f"{path}: not a PNG file")
    at, idat, header = 8, b"", None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        raise SystemExit(f"{path}: depth {depth} colour type {colour} interlace {interlace} not read here")
    size = 3 if colour == 2 else 4
    raw, stride = zlib.decompress(idat), width * size
    previous, rows, at = bytearray(stride), [], 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            left = line[i - size] if i >= size else 0
            up, corner = previous[i], previous[i - size] if i >= size else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 0xFF
        rows.append(bytes(line))
        previous = line
    return width, height, [tuple(row[i:i + 3]) for row in rows for i in range(0, stride, size)]


def main():
    path, min_colours, min_ink, min_blue = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
    width, height, image = pixels(path)
    colours = len(set(image))
    ink = sum(1 for p in image if p != (255, 255, 255)) / len(image)
    blue = sum(1 for r, g, b in image if b - r >= 60 and b - g >= 30)
    print(f"{path}: {width}x{height}, {colours} colours, {ink:.1%} not white, {blue} blue pixels")
    if colours < min_colours or ink < min_ink or blue < min_blue:
        raise SystemExit("the page looks blank: the report was not drawn")


main()
