#!/usr/bin/env python3
"""Minimal TFTP download client with the windowsize option, as UEFI firmware asks for it:

    tftp_window_client.py HOST PORT FILE BLKSIZE WINDOWSIZE OUTPUT

Acknowledges every full window and the last block; on a gap or a quiet second it acknowledges
the last block received in order, so the server resends from the block after it. Exits 1 on an
error packet, a refused option or a dead server."""
import socket
import struct
import sys

RRQ, DATA, ACK, ERROR, OACK = 1, 3, 4, 5, 6


def main():
    host, port, name, blksize, window, output = sys.argv[1:7]
    blksize, window = int(blksize), int(window)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(1.0)
    request = struct.pack("!H", RRQ) + name.encode() + b"\0octet\0"
    request += b"blksize\0%d\0windowsize\0%d\0" % (blksize, window)
    sock.sendto(request, (host, int(port)))
    peer = None
    expect = 1       # the next block in order, counted without wrap
    in_window = 0    # blocks received in order since the last ACK
    quiet = 0
    with open(output, "wb") as out:
        while True:
            try:
                pkt, addr = sock.recvfrom(65536)
            except socket.timeout:
                quiet += 1
                if quiet == 5:
                    sys.exit("no answer from %s:%s" % (host, port))
                if peer is not None:
                    sock.sendto(struct.pack("!HH", ACK, (expect - 1) & 0xFFFF), peer)
                    in_window = 0
                continue
            quiet = 0
            (opcode,) = struct.unpack("!H", pkt[:2])
            if opcode == OACK and peer is None:
                peer = addr
                options = pkt[2:].split(b"\0")
                agreed = dict(zip(options[0::2], options[1::2]))
                window = int(agreed.get(b"windowsize", 1))
                blksize = int(agreed.get(b"blksize", 512))
                sock.sendto(struct.pack("!HH", ACK, 0), peer)
                continue
            if opcode == ERROR:
                sys.exit("server error %r" % pkt[2:])
            if opcode != DATA or addr != peer:
                continue
            (block,) = struct.unpack("!H", pkt[2:4])
            if block != expect & 0xFFFF:
                # A gap: ask for the rest of the window from the first block missing.
                if in_window != 0:
                    sock.sendto(struct.pack("!HH", ACK, (expect - 1) & 0xFFFF), peer)
                    in_window = 0
                continue
            out.write(pkt[4:])
            in_window += 1
            last = len(pkt) - 4 < blksize
            if in_window == window or last:
                sock.sendto(struct.pack("!HH", ACK, block), peer)
                in_window = 0
            if last:
                return
            expect += 1


if __name__ == "__main__":
    main()
