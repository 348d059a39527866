#!/usr/bin/env python3
"""A swarm of PXE clients, all at once, from one network namespace.

  swarm.py --iface IF --count N [--mac-prefix 02:5a] [--rate R] [--timeout S] [--dhcp-only]
           [--uefi-share F] [--window-share F] [--range-share F] [--json FILE]
  swarm.py --iface IF --flood N [--rate R]    DISCOVER+RELEASE from N spoofed MACs

Every client has its own MAC: one AF_PACKET socket sends the DHCP frames of all of them and reads
the answers, matched by transaction id. A client asks DISCOVER/REQUEST with a PXE vendor class
(BIOS or x64 UEFI), downloads the boot file of its offer over TFTP (blksize as firmware asks it,
some with windowsize 4), then its per-client menu, then over HTTP the kernel and initrd the menu
names (some with Range requests), its answer file, the report and the end-of-install request,
and a REST query. Its TFTP/HTTP traffic leaves from its leased address: the caller routes the
pool as local to the namespace ("ip route add local POOL dev IF"), so any leased address can be
bound. The run is bounded by --timeout; it prints per-phase latency percentiles and totals
(menu_not_ready counts clients that asked for their menu before the server had written it; with
the default --menu-tries 1 such a client fails) and exits 0 only when every client finished.
"""
import argparse
import asyncio
import json
import random
import re
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
BROADCAST_MAC = b"\xff" * 6


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def dhcp_frame(mac, xid, msg_type, arch, extra):
    opts = bytes([53, 1, msg_type])
    vendor = b"PXEClient:Arch:%05d:UNDI:003016" % arch
    opts += bytes([60, len(vendor)]) + vendor
    opts += bytes([93, 2]) + struct.pack("!H", arch)
    opts += bytes([94, 3, 1, 3, 16])
    opts += bytes([97, 17, 0]) + mac + bytes(10)
    opts += bytes([55, 7, 1, 3, 6, 43, 60, 66, 67])
    opts += bytes([57, 2]) + struct.pack("!H", 1464)
    opts += extra + b"\xff"
    bootp = struct.pack("!BBBBIHH4s4s4s4s16s64s128s", 1, 1, 6, 0, xid, 0, 0x8000, bytes(4),
                        bytes(4), bytes(4), bytes(4), mac + bytes(10), bytes(64), bytes(128))
    bootp += b"\x63\x82\x53\x63" + opts
    udp = struct.pack("!HHHH", 68, 67, 8 + len(bootp), 0) + bootp
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0, bytes(4),
                     b"\xff" * 4)
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return BROADCAST_MAC + mac + b"\x08\x00" + ip + udp


async def flood(args, dhcp):
    """DISCOVER then RELEASE from --flood new MACs as fast as --rate allows, answers unread."""
    prefix = bytes.fromhex(args.mac_prefix.replace(":", ""))
    start = time.monotonic()
    for i in range(args.flood):
        mac = prefix + i.to_bytes(6 - len(prefix), "big")
        xid = random.getrandbits(32)
        for msg in (1, 7):
            while True:
                try:
                    dhcp.sock.send(dhcp_frame(mac, xid, msg, 0, b""))
                    break
                except BlockingIOError:
                    await asyncio.sleep(0.001)
        ahead = (i + 1) / args.rate - (time.monotonic() - start)
        if ahead > 0:
            await asyncio.sleep(ahead)
    print("SWARM flood macs=%d seconds=%.2f" % (args.flood, time.monotonic() - start))
    return 0


def parse_dhcp_reply(frame):
    """(xid, msg_type, yiaddr, siaddr, file, server_id) of a BOOTP reply frame, or None."""
    if len(frame) < 14 + 20 + 8 + 240 or frame[12:14] != b"\x08\x00":
        return None
    ihl = (frame[14] & 15) * 4
    if frame[14 + 9] != 17:
        return None
    udp = 14 + ihl
    if struct.unpack("!H", frame[udp + 2:udp + 4])[0] != 68:
        return None
    b = frame[udp + 8:]
    if len(b) < 240 or b[0] != 2 or b[236:240] != b"\x63\x82\x53\x63":
        return None
    xid = struct.unpack("!I", b[4:8])[0]
    yiaddr, siaddr = socket.inet_ntoa(b[16:20]), socket.inet_ntoa(b[20:24])
    bootfile = b[108:236].split(b"\0", 1)[0].decode("latin-1")
    msg_type, server_id, i = 0, None, 240
    while i < len(b) and b[i] != 255:
        if b[i] == 0:
            i += 1
            continue
        if i + 1 >= len(b):
            break
        code, ln = b[i], b[i + 1]
        val = b[i + 2:i + 2 + ln]
        if code == 53 and ln:
            msg_type = val[0]
        elif code == 54 and ln == 4:
            server_id = val
        elif code == 67 and not bootfile:
            bootfile = val.split(b"\0", 1)[0].decode("latin-1")
        i += 2 + ln
    return xid, msg_type, yiaddr, siaddr, bootfile, server_id


class Dhcp:
    """One raw socket for every client; replies go to the waiter of their transaction id."""

    def __init__(self, loop, iface):
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self.sock.bind((iface, 0))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.setblocking(False)
        self.waiters = {}
        loop.add_reader(self.sock.fileno(), self._read)

    def _read(self):
        while True:
            try:
                frame = self.sock.recv(2048)
            except BlockingIOError:
                return
            r = parse_dhcp_reply(frame)
            if r and r[0] in self.waiters:
                q = self.waiters[r[0]]
                q.put_nowait(r)

    async def exchange(self, mac, arch, tries=4):
        xid = random.getrandbits(32)
        q = asyncio.Queue()
        self.waiters[xid] = q
        try:
            offer = await self._ask(q, dhcp_frame(mac, xid, 1, arch, b""), 2, tries)
            if not offer:
                return None
            extra = bytes([50, 4]) + socket.inet_aton(offer[2])
            if offer[5]:
                extra += bytes([54, 4]) + offer[5]
            ack = await self._ask(q, dhcp_frame(mac, xid, 3, arch, extra), 5, tries)
            return ack if ack and ack[1] == 5 else None
        finally:
            del self.waiters[xid]

    async def _ask(self, q, frame, want, tries):
        wait = 2.0
        for _ in range(tries):
            self.sock.send(frame)
            end = time.monotonic() + wait
            while True:
                left = end - time.monotonic()
                if left <= 0:
                    break
                try:
                    r = await asyncio.wait_for(q.get(), left)
                except asyncio.TimeoutError:
                    break
                if r[1] == want or (want == 5 and r[1] == 6):
                    return r
            wait *= 2
        return None


class TftpProto(asyncio.DatagramProtocol):
    def __init__(self):
        self.q = asyncio.Queue()

    def datagram_received(self, data, addr):
        self.q.put_nowait((data, addr))


async def tftp_get(local, server, name, blksize, window, timeout=2.0, tries=6):
    """Bytes of a file read over TFTP from local address `local`; raises on failure."""
    loop = asyncio.get_running_loop()
    tr, pr = await loop.create_datagram_endpoint(TftpProto, local_addr=(local, 0))
    try:
        opts = b"blksize\0%d\0tsize\0000\0" % blksize
        if window > 1:
            opts += b"windowsize\0%d\0" % window
        rrq = b"\0\1" + name.encode() + b"\0octet\0" + opts
        peer, out, block, size = None, bytearray(), 0, blksize
        win = 1
        last_sent = rrq
        dest = (server, 69)
        misses = 0
        in_window = 0
        tr.sendto(rrq, dest)
        while True:
            try:
                data, addr = await asyncio.wait_for(pr.q.get(), timeout)
            except asyncio.TimeoutError:
                misses += 1
                if misses > tries:
                    raise RuntimeError("TFTP timeout on %s at block %d" % (name, block))
                tr.sendto(last_sent, peer or dest)
                in_window = 0
                continue
            if peer is None:
                peer = addr
            elif addr != peer:
                continue
            op = struct.unpack("!H", data[:2])[0]
            if op == 5:
                raise RuntimeError("TFTP error on %s: %r" % (name, data[4:-1]))
            if op == 6 and block == 0:
                fields = data[2:].split(b"\0")
                d = {fields[i].lower(): fields[i + 1] for i in range(0, len(fields) - 1, 2)}
                size = int(d.get(b"blksize", b"512"))
                win = int(d.get(b"windowsize", b"1"))
                last_sent = b"\0\4\0\0"
                tr.sendto(last_sent, peer)
                misses = 0
                continue
            if op != 3:
                continue
            misses = 0
            n = struct.unpack("!H", data[2:4])[0]
            if n == (block + 1) & 0xFFFF:
                block += 1
                out += data[4:]
                in_window += 1
                last = len(data) - 4 < size
                if last or in_window >= win:
                    last_sent = struct.pack("!HH", 4, n)
                    tr.sendto(last_sent, peer)
                    in_window = 0
                if last:
                    return bytes(out)
            elif win > 1 and in_window:
                # Out of order inside a window: ask again from the last block in order.
                last_sent = struct.pack("!HH", 4, block & 0xFFFF)
                tr.sendto(last_sent, peer)
                in_window = 0
    finally:
        tr.close()


async def http_get(local, host, port, path, rng=None, keep=None):
    """(status, body length, total size) of a GET from local address `local`; with `keep` (a
    bytearray) the body is kept there too."""
    r, w = await asyncio.wait_for(
        asyncio.open_connection(host, port, local_addr=(local, 0)), 20)
    try:
        head = "GET %s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n" % (path, host, port)
        if rng:
            head += "Range: bytes=%s\r\n" % rng
        w.write((head + "\r\n").encode())
        await w.drain()
        raw = await asyncio.wait_for(r.readuntil(b"\r\n\r\n"), 30)
        lines = raw.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        hdr = {}
        for ln in lines[1:]:
            if ":" in ln:
                k, v = ln.split(":", 1)
                hdr[k.strip().lower()] = v.strip()
        want = int(hdr["content-length"]) if "content-length" in hdr else None
        got = 0
        while want is None or got < want:
            chunk = await asyncio.wait_for(r.read(1 << 18), 30)
            if not chunk:
                break
            got += len(chunk)
            if keep is not None:
                keep += chunk
        if want is not None and got != want:
            raise RuntimeError("HTTP %s: %d of %d bytes" % (path, got, want))
        total = got
        if "content-range" in hdr:
            total = int(hdr["content-range"].rsplit("/", 1)[1])
        return status, got, total
    finally:
        w.close()


def split_url(url, default_host, default_port):
    if url.startswith("http://"):
        hostport, _, path = url[7:].partition("/")
        host, _, port = hostport.partition(":")
        return host, int(port or 80), "/" + path
    return default_host, default_port, "/" + url.lstrip("/")


def parse_menu(text):
    kernel = initrd = answer = None
    for line in text.splitlines():
        words = line.split()
        if not words:
            continue
        key = words[0].upper()
        if key == "KERNEL" and len(words) > 1 and kernel is None:
            kernel = words[1]
        elif key == "INITRD" and len(words) > 1 and initrd is None:
            initrd = words[1]
        elif key == "APPEND":
            for w in words[1:]:
                if w.startswith("kiv.answer=") and answer is None:
                    answer = w[len("kiv.answer="):]
    return kernel, initrd, answer


class Client:
    def __init__(self, index, args):
        self.index = index
        self.mac = bytes.fromhex(args.mac_prefix.replace(":", "")) + index.to_bytes(
            6 - len(args.mac_prefix.replace(":", "")) // 2, "big")
        self.dashed = "-".join("%02x" % b for b in self.mac)
        rnd = random.Random(index)
        self.uefi = rnd.random() < args.uefi_share
        self.window = 4 if rnd.random() < args.window_share else 1
        self.range = rnd.random() < args.range_share
        # PXE ROMs ask 1456 (BIOS), UEFI firmware 1468.
        self.blksize = 1468 if self.uefi else 1456
        self.times = {}
        self.bytes = 0
        self.lease = None
        self.error = None
        self.done_at = None
        self.menu_retries = 0
        self.restarts = 0


async def run_client(c, args, dhcp):
    t = time.monotonic()

    def phase(name):
        nonlocal t
        now = time.monotonic()
        c.times[name] = now - t
        t = now

    ack = await dhcp.exchange(c.mac, 7 if c.uefi else 0)
    if not ack:
        raise RuntimeError("no lease")
    c.lease, server, bootfile = ack[2], ack[3], ack[4]
    if server == "0.0.0.0":
        server = args.server
    phase("dhcp")
    if args.dhcp_only:
        return
    # --menu-first: the menu is asked for the moment the ACK is in (no boot file in between).
    if not args.menu_first:
        boot = await tftp_get(c.lease, server, bootfile, c.blksize, c.window)
        c.bytes += len(boot)
    phase("tftp_boot")
    # The server has written the per-client menu before its ACK went out, so a client asks once
    # (--menu-tries N: a missing menu is asked for again, counted as menu_not_ready).
    menu = None
    for attempt in range(args.menu_tries):
        try:
            menu = await tftp_get(c.lease, server, "pxelinux.cfg/01-" + c.dashed, c.blksize,
                                  c.window)
            break
        except RuntimeError:
            c.menu_retries += 1
            await asyncio.sleep(0.5)
    if menu is None:
        raise RuntimeError("no per-client menu")
    c.bytes += len(menu)
    phase("tftp_menu")
    kernel, initrd, answer = parse_menu(menu.decode("latin-1"))
    if not (kernel and initrd and answer):
        raise RuntimeError("menu names no kernel/initrd/answer file")
    for what, url in (("http_kernel", kernel), ("http_initrd", initrd)):
        host, port, path = split_url(url, server, args.http_port)
        if c.range:
            st, got, total = await http_get(c.lease, host, port, path, "0-65535")
            st2, got2, _ = await http_get(c.lease, host, port, path, "65536-")
            if st != 206 or st2 != 206 or got + got2 != total:
                raise RuntimeError("Range %s: %d/%d %d+%d of %d" % (path, st, st2, got, got2, total))
            c.bytes += got + got2
        else:
            st, got, _ = await http_get(c.lease, host, port, path)
            if st != 200:
                raise RuntimeError("HTTP %s: %d" % (path, st))
            c.bytes += got
        phase(what)
    host, port, path = split_url(answer, server, args.http_port)
    body = bytearray()
    st, got, _ = await http_get(c.lease, host, port, path, keep=body)
    if st != 200:
        raise RuntimeError("answer file %s: %d" % (path, st))
    # The end-of-install report must carry the row's token, which only the client's own answer
    # file holds.
    token = re.search(rb"[?&]token=([0-9a-z]+)", bytes(body))
    if token is None:
        raise RuntimeError("answer file %s names no token" % path)
    c.bytes += got
    phase("answer")
    st, _, _ = await http_get(
        c.lease, server, args.rest_port,
        "/rest/v2/notify_pim_ks?mac=%s&ip=%s&mask=255.255.0.0&gw=%s&bios=%s" %
        (c.dashed, c.lease, server, "UEFI" if c.uefi else "LEGACY"))
    phase("rest")
    await http_get(c.lease, server, args.http_port,
                   "/kickstart/virturl_report_client_info?vendor=Swarm&pdt_serial=SW%05d"
                   "&pdt_name=swarm&param_end" % c.index)
    phase("report")
    st, _, _ = await http_get(c.lease, server, args.http_port,
                              "/kickstart/PXEClientInstallEnd?mac=%s&token=%s" %
                              (c.dashed, token.group(1).decode()))
    phase("end")


def pct(values, p):
    if not values:
        return float("nan")
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))]


async def main(args):
    loop = asyncio.get_running_loop()
    dhcp = Dhcp(loop, args.iface)
    if args.flood:
        return await flood(args, dhcp)
    clients = [Client(i + args.first_index, args) for i in range(args.count)]
    start = time.monotonic()

    async def one(i, c):
        await asyncio.sleep(i / args.rate)
        t0 = time.monotonic()
        # A failed client starts over from DHCP, as firmware does after a reset (--retries).
        for attempt in range(args.retries + 1):
            try:
                c.error = None
                await run_client(c, args, dhcp)
                c.done_at = time.monotonic()
                c.times["total"] = c.done_at - t0
                return
            except Exception as e:  # a client's failure is reported, the others go on
                c.error = "%s: %s" % (type(e).__name__, e)
                c.restarts = attempt + 1
                await asyncio.sleep(1)

    tasks = [asyncio.ensure_future(one(i, c)) for i, c in enumerate(clients)]
    done, pending = await asyncio.wait(tasks, timeout=args.timeout)
    for t in pending:
        t.cancel()
    for c in clients:
        if c.done_at is None and c.error is None:
            c.error = "timed out"
    end = max([c.done_at for c in clients if c.done_at] or [time.monotonic()])
    ok = [c for c in clients if c.done_at]
    leases = [c.lease for c in clients if c.lease]
    phases = ["dhcp"] if args.dhcp_only else [
        "dhcp", "tftp_boot", "tftp_menu", "http_kernel", "http_initrd", "answer", "rest",
        "report", "end"]
    summary = {
        "clients": len(clients), "finished": len(ok), "failed": len(clients) - len(ok),
        "distinct_leases": len(set(leases)), "leases": len(leases),
        "seconds_to_last_byte": end - start,
        "bytes": sum(c.bytes for c in clients),
        "menu_not_ready": sum(1 for c in clients if c.menu_retries),
        "restarts": sum(c.restarts for c in clients if c.done_at),
        "phases": {}, "errors": {},
    }
    dhcp_done = [c.times["dhcp"] for c in clients if "dhcp" in c.times]
    if args.dhcp_only and ok:
        summary["dhcp_answers_per_s"] = len(ok) / (end - start)
    print("SWARM phase        p50(ms)  p90(ms)  p99(ms)  max(ms)  n")
    for p in phases + ["total"]:
        v = [c.times[p] * 1000 for c in clients if p in c.times]
        summary["phases"][p] = {"p50": pct(v, 50), "p90": pct(v, 90), "p99": pct(v, 99),
                                "max": max(v) if v else float("nan"), "n": len(v)}
        s = summary["phases"][p]
        print("SWARM %-12s %8.1f %8.1f %8.1f %8.1f  %d" % (p, s["p50"], s["p90"], s["p99"],
                                                           s["max"], s["n"]))
    for c in clients:
        if c.error:
            summary["errors"][c.dashed] = c.error
    for mac, err in list(summary["errors"].items())[:10]:
        print("SWARM error %s %s" % (mac, err))
    print("SWARM clients=%d finished=%d distinct_leases=%d seconds_to_last_byte=%.2f bytes=%d "
          "menu_not_ready=%d restarts=%d%s" %
          (len(clients), len(ok), len(set(leases)), end - start, summary["bytes"],
           summary["menu_not_ready"], summary["restarts"],
           " dhcp_answers_per_s=%.1f" % summary["dhcp_answers_per_s"]
           if "dhcp_answers_per_s" in summary else ""))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(summary, f, indent=1)
        with open(args.json + ".clients", "w") as f:
            for c in clients:
                f.write("%s %s %s\n" % (c.dashed, c.lease or "-", "ok" if c.done_at else "fail"))
    return 0 if len(ok) == len(clients) else 1


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--iface", required=True)
    ap.add_argument("--count", type=int, default=50)
    ap.add_argument("--first-index", type=int, default=1)
    ap.add_argument("--mac-prefix", default="02:5a")
    ap.add_argument("--server", default="10.88.0.1", help="when the offer names no server")
    ap.add_argument("--http-port", type=int, default=8810)
    ap.add_argument("--rest-port", type=int, default=18000)
    ap.add_argument("--rate", type=float, default=100.0, help="clients started per second")
    ap.add_argument("--timeout", type=float, default=300.0)
    ap.add_argument("--uefi-share", type=float, default=0.5)
    ap.add_argument("--window-share", type=float, default=0.25)
    ap.add_argument("--range-share", type=float, default=0.25)
    ap.add_argument("--dhcp-only", action="store_true")
    ap.add_argument("--menu-first", action="store_true",
                    help="ask for the per-client menu right after the ACK, before the boot file")
    ap.add_argument("--menu-tries", type=int, default=1)
    ap.add_argument("--retries", type=int, default=0, help="times a failed client starts over")
    ap.add_argument("--flood", type=int, default=0,
                    help="only DISCOVER+RELEASE from this many new MACs (no client follows)")
    ap.add_argument("--json")
    a = ap.parse_args()
    sys.exit(asyncio.run(main(a)))
