#!/usr/bin/env python3
"""Makes a file of an ISO image run past the image's end: every directory record named NAME
(the ISO 9660 name, e.g. "BIG.CFG;1") gets a data length that reaches beyond the file.

usage: iso_overrun.py IMAGE NAME
"""
import struct
import sys

path, name = sys.argv[1], sys.argv[2].encode()
data = bytearray(open(path, "rb").read())
patched = 0
pos = data.find(name)
while pos >= 0:
    rec = pos - 33  # the name starts at offset 33 of its record, its length is at 32
    if rec >= 0 and data[rec + 32] == len(name) and data[rec] >= 33 + len(name):
        extent = struct.unpack_from("<I", data, rec + 2)[0]
        length = len(data) - extent * 2048 + 4096  # two sectors past the end
        struct.pack_into("<I", data, rec + 10, length)
        struct.pack_into(">I", data, rec + 14, length)
        patched += 1
    pos = data.find(name, pos + 1)
if patched == 0:
    sys.exit(f"no record named {name.decode()} in {path}")
open(path, "wb").write(data)
