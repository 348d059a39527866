#!/usr/bin/env python3
"""A lossy, slow, reordering Ethernet link between two interfaces, in user space.

  lossy_link.py TAP_SERVER TAP_CLIENT [--loss PCT] [--delay MS] [--reorder PCT] [--seed N]
                [--stats FILE]

Creates the two TAP interfaces, prints READY (the caller then moves them into their namespaces
and gives them addresses) and copies every frame from one to the other: PCT % of the frames
(each direction, every kind) are dropped, the others are held back MS milliseconds, and
--reorder PCT % of them go out at once, overtaking the held ones. This is what "tc qdisc ...
netem loss PCT delay MS reorder PCT" does, for kernels without netem. TAP interfaces without
offloads get complete frames from the kernel (checksums filled in, no segmentation left to do).

It also watches the TFTP DATA packets that leave the server side: for each transfer (client
address and port, server port) the frames sent, the distinct blocks among them and the frames it
dropped. On SIGTERM it writes the counts as JSON to FILE (or stdout) and exits 0."""
import argparse
import fcntl
import heapq
import json
import os
import random
import select
import signal
import socket
import struct
import sys
import time

TUNSETIFF = 0x400454CA
IFF_TAP = 0x0002
IFF_NO_PI = 0x1000


def open_tap(name):
    fd = os.open("/dev/net/tun", os.O_RDWR | os.O_NONBLOCK)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TAP | IFF_NO_PI))
    return fd


class Link:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.taps = [open_tap(args.server_if), open_tap(args.client_if)]
        self.held = []  # (due, seq, out socket index, frame)
        self.seq = 0
        self.count = {d: {"frames": 0, "dropped": 0, "reordered": 0} for d in ("to_client", "to_server")}
        self.flows = {}  # "client:port<-server_port" -> sent, blocks, dropped

    def tftp_data(self, frame):
        """(flow, block) of a TFTP DATA packet in an IPv4 UDP frame, else None."""
        if len(frame) < 14 + 20 + 8 + 4 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
            return None
        ihl = (frame[14] & 0x0F) * 4
        udp = 14 + ihl
        src_port, dst_port = struct.unpack("!HH", frame[udp:udp + 4])
        opcode, block = struct.unpack("!HH", frame[udp + 8:udp + 12])
        if opcode != 3 or dst_port in (67, 68):
            return None
        flow = "%s:%d<-%d" % (socket.inet_ntoa(frame[30:34]), dst_port, src_port)
        return flow, block

    def take(self, side, frame):
        out = 1 - side
        direction = "to_client" if side == 0 else "to_server"
        c = self.count[direction]
        c["frames"] += 1
        data = self.tftp_data(frame) if side == 0 else None
        if data:
            f = self.flows.setdefault(data[0], {"sent": 0, "blocks": set(), "dropped": 0})
            f["sent"] += 1
            f["blocks"].add(data[1])
        if self.rng.random() * 100 < self.args.loss:
            c["dropped"] += 1
            if data:
                f["dropped"] += 1
            return
        now = time.monotonic()
        if self.rng.random() * 100 < self.args.reorder:
            if any(h[2] == out for h in self.held):
                c["reordered"] += 1
            self.send(out, frame)
            return
        self.seq += 1
        heapq.heappush(self.held, (now + self.args.delay / 1000.0, self.seq, out, frame))

    def send(self, out, frame):
        try:
            os.write(self.taps[out], frame)
        except OSError:
            pass  # a full queue on the far side is a loss too

    def run(self):
        while True:
            timeout = None
            if self.held:
                timeout = max(0.0, self.held[0][0] - time.monotonic())
            ready, _, _ = select.select(self.taps, [], [], timeout)
            for fd in ready:
                side = self.taps.index(fd)
                while True:
                    try:
                        frame = os.read(fd, 65536)
                    except BlockingIOError:
                        break
                    self.take(side, frame)
            now = time.monotonic()
            while self.held and self.held[0][0] <= now:
                _, _, out, frame = heapq.heappop(self.held)
                self.send(out, frame)

    def report(self):
        flows = {k: {"sent": v["sent"], "blocks": len(v["blocks"]), "dropped": v["dropped"]}
                 for k, v in self.flows.items()}
        return {"links": self.count, "tftp_data": flows}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("server_if")
    ap.add_argument("client_if")
    ap.add_argument("--loss", type=float, default=0.0)
    ap.add_argument("--delay", type=float, default=0.0)
    ap.add_argument("--reorder", type=float, default=0.0)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--stats")
    args = ap.parse_args()
    link = Link(args)

    def stop(*_):
        text = json.dumps(link.report(), indent=1)
        if args.stats:
            with open(args.stats, "w") as f:
                f.write(text + "\n")
        else:
            print(text)
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("READY", flush=True)
    link.run()


if __name__ == "__main__":
    main()
