#!/usr/bin/env python3
"""Draws the pictures of a data directory as PNG files, with the standard library only.

  make-pictures.py backgrounds DIR COUNT       DIR/kiv_background_01.png .. COUNT (1024x768)
  make-pictures.py icons DIR OS_TYPE_JSON      DIR/os-<type>.png for every type, and os-unknown.png

Backgrounds are soft diagonal gradients, one hue per index, for the graphical boot menus. Icons
are 64x64 discs in a colour per type with the type's first letters drawn in a small bitmap font.
Files are written through a temporary name and renamed, and an unchanged file is left alone.
"""
import colorsys
import json
import os
import struct
import sys
import zlib


def png_bytes(width, height, rows, alpha):
    """rows: bytes per row (RGB or RGBA), already laid out."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    raw = b"".join(b"\x00" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_if_changed(path, data):
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    tmp = "%s.tmp.%d" % (path, os.getpid())
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def background(index, count, width=1024, height=768):
    hue = (index - 1) / max(count, 1)
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(0, width, 8):
            t = (x / width + y / height) / 2
            r, g, b = colorsys.hsv_to_rgb((hue + 0.08 * t) % 1.0, 0.65, 0.18 + 0.42 * t)
            row += bytes((int(r * 255), int(g * 255), int(b * 255))) * 8
        rows.append(bytes(row))
    return png_bytes(width, height, rows, alpha=False)


# 5x7 capitals and digits, one string of five column bits per row.
FONT = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "B": ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    "C": ["01111", "10000", "10000", "10000", "10000", "10000", "01111"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "F": ["11111", "10000", "10000", "11110", "10000", "10000", "10000"],
    "G": ["01111", "10000", "10000", "10011", "10001", "10001", "01111"],
    "H": ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    "I": ["11111", "00100", "00100", "00100", "00100", "00100", "11111"],
    "J": ["00111", "00010", "00010", "00010", "00010", "10010", "01100"],
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "Q": ["01110", "10001", "10001", "10001", "10101", "10010", "01101"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "W": ["10001", "10001", "10001", "10101", "10101", "11011", "10001"],
    "X": ["10001", "10001", "01010", "00100", "01010", "10001", "10001"],
    "Y": ["10001", "10001", "01010", "00100", "00100", "00100", "00100"],
    "Z": ["11111", "00001", "00010", "00100", "01000", "10000", "11111"],
    "?": ["01110", "10001", "00001", "00110", "00100", "00000", "00100"],
}

COLOURS = {
    "centos": (0x94, 0x2f, 0x8f), "redhat": (0xcc, 0x00, 0x00), "rocky": (0x10, 0xb9, 0x81),
    "alma": (0x0f, 0x4c, 0x81), "oracle": (0xc7, 0x46, 0x34), "fedora": (0x29, 0x41, 0x72),
    "debian": (0xa8, 0x00, 0x30), "ubuntu": (0xe9, 0x54, 0x20), "suse": (0x30, 0xba, 0x78),
    "opensuse": (0x73, 0xba, 0x25), "vmware": (0x60, 0x7d, 0x8b), "xenserver": (0x1b, 0x6a, 0xc9),
    "windows": (0x00, 0x78, 0xd4), "freebsd": (0xab, 0x2b, 0x28), "kylin": (0xd3, 0x2f, 0x2f),
}


def icon(kind, size=64, scale=4):
    letters = "?" if kind == "unknown" else "".join(c for c in kind.upper() if c in FONT)[:2] or "?"
    colour = COLOURS.get(kind, (0x70, 0x70, 0x70))
    text_w = len(letters) * 6 * scale - scale
    x0, y0 = (size - text_w) // 2, (size - 7 * scale) // 2
    centre, radius = (size - 1) / 2, size / 2 - 1
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            d = ((x - centre) ** 2 + (y - centre) ** 2) ** 0.5
            a = max(0.0, min(1.0, radius - d + 0.5))
            gx, gy = (x - x0) // scale, (y - y0) // scale
            ink = False
            if 0 <= gy < 7 and x >= x0 and gx < len(letters) * 6 and gx % 6 < 5:
                ink = FONT[letters[gx // 6]][gy][gx % 6] == "1"
            rgb = (255, 255, 255) if ink else colour
            row += bytes(rgb + (int(a * 255),))
        rows.append(bytes(row))
    return png_bytes(size, size, rows, alpha=True)


def main(argv):
    if len(argv) != 4 or argv[1] not in ("backgrounds", "icons"):
        sys.stderr.write(__doc__)
        return 2
    out = argv[2]
    os.makedirs(out, exist_ok=True)
    if argv[1] == "backgrounds":
        count = int(argv[3])
        for i in range(1, count + 1):
            write_if_changed(os.path.join(out, "kiv_background_%02u.png" % i), background(i, count))
        return 0
    with open(argv[3], encoding="utf-8") as f:
        table = json.load(f)
    kinds = {entry["type"] for entry in table} | {"unknown"}
    for kind in sorted(kinds):
        write_if_changed(os.path.join(out, "os-%s.png" % kind), icon(kind))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
