#!/usr/bin/env python3
"""Router solicitations as a host (or an attacker) on the link sends them, for the network test:

    qvdhcp_ra_solicit.py IFACE KIND [COUNT]

KIND: "valid" (from the link-local address, hop limit 255, a link-layer address option),
"hop64" (hop limit 64: as if routed), "code1" (ICMP code 1), "optlen0" (an option of length 0),
"short" (7 bytes). COUNT solicitations (default 1) go to all routers (ff02::2) at once; then the
advertisements heard within 2 s are printed, one line each:
"advert hops=<hop limit> flags=<M/O byte> lifetime=<s> reachable=<ms> retrans=<ms> options=<bytes>
from=<source>", and "adverts <n>" at the end.
"""
import select
import socket
import struct
import sys
import time

iface, kind = sys.argv[1:3]
count = int(sys.argv[3]) if len(sys.argv) > 3 else 1
index = socket.if_nametoindex(iface)

body = {
    "valid": bytes([133, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0x52, 0x54, 0, 0x77, 0, 2]),
    "hop64": bytes([133, 0, 0, 0, 0, 0, 0, 0]),
    "code1": bytes([133, 1, 0, 0, 0, 0, 0, 0]),
    "optlen0": bytes([133, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0]),
    "short": bytes([133, 0, 0, 0, 0, 0, 0]),
}[kind]

sock = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, iface.encode())
sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)
sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_HOPS, 64 if kind == "hop64" else 255)
sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_RECVHOPLIMIT, 1)
for _ in range(count):
    # The kernel fills in the checksum of ICMPv6 raw sockets.
    sock.sendto(body, ("ff02::2", 0, 0, index))

heard = 0
deadline = time.monotonic() + 2
while True:
    left = deadline - time.monotonic()
    if left <= 0 or not select.select([sock], [], [], left)[0]:
        break
    data, ancillary, _, source = sock.recvmsg(1500, socket.CMSG_SPACE(4))
    if len(data) < 16 or data[0] != 134:
        continue
    hops = next((struct.unpack("i", value)[0] for level, kind_, value in ancillary
                 if level == socket.IPPROTO_IPV6 and kind_ == socket.IPV6_HOPLIMIT), -1)
    _, _, _, _, flags, lifetime, reachable, retrans = struct.unpack("!BBHBBHII", data[:16])
    heard += 1
    print(f"advert hops={hops} flags={flags} lifetime={lifetime} reachable={reachable} "
          f"retrans={retrans} options={len(data) - 16} from={source[0]}")
print(f"adverts {heard}")
