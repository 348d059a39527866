#!/usr/bin/env python3
"""A PXE client's proxyDHCP exchange, as firmware does it, for the network tests:

    qvdhcp_pxe_client.py IFACE MAC CIADDR [--no-vendor]

Broadcasts a DISCOVER (vendor class "PXEClient:Arch:00007", architecture 7) from port 68 and
prints the OFFER it hears ("offer yiaddr=... siaddr=... file=... opt43=... opt60=..."); then sends
a REQUEST from CIADDR to the offering server's port 4011 and prints the ACK. Every wait is 3 s;
"none" is printed when nothing comes.
"""
import socket
import struct
import sys

iface, mac_text, ciaddr = sys.argv[1:4]
vendor = "--no-vendor" not in sys.argv
mac = bytes(int(part, 16) for part in mac_text.split(":"))


def packet(msg_type, ciaddr_value, xid):
    header = struct.pack("!BBBBIHH4s4s4s4s16s64s128s4s", 1, 1, 6, 0, xid, 0, 0x8000,
                         socket.inet_aton(ciaddr_value), bytes(4), bytes(4), bytes(4),
                         mac + bytes(10), bytes(64), bytes(128), bytes([99, 130, 83, 99]))
    options = bytes([53, 1, msg_type, 93, 2, 0, 7])
    if vendor:
        text = b"PXEClient:Arch:00007:UNDI:003016"
        options += bytes([60, len(text)]) + text
    return header + options + bytes([255])


def options_of(data):
    found, pos = {}, 240
    while pos + 1 < len(data) and data[pos] != 255:
        if data[pos] == 0:
            pos += 1
            continue
        found[data[pos]] = data[pos + 2:pos + 2 + data[pos + 1]]
        pos += 2 + data[pos + 1]
    return found


def describe(kind, data):
    opts = options_of(data)
    return (f"{kind} type={opts.get(53, b'?')[0]} yiaddr={socket.inet_ntoa(data[16:20])} "
            f"siaddr={socket.inet_ntoa(data[20:24])} file={data[108:236].split(bytes(1))[0].decode()} "
            f"opt43={opts.get(43, b'').hex()} opt60={opts.get(60, b'').decode()} "
            f"opt54={socket.inet_ntoa(opts[54]) if 54 in opts else ''}")


def receive(sock, xid):
    sock.settimeout(3)
    try:
        while True:
            data, _ = sock.recvfrom(2048)
            if len(data) >= 240 and data[0] == 2 and struct.unpack("!I", data[4:8])[0] == xid:
                return data
    except socket.timeout:
        return None


sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, iface.encode())
sock.bind(("0.0.0.0", 68))
sock.sendto(packet(1, "0.0.0.0", 0x1111), ("255.255.255.255", 67))
offer = receive(sock, 0x1111)
print(describe("offer", offer) if offer else "offer none", flush=True)
if offer:
    server = socket.inet_ntoa(options_of(offer)[54])
    sock.sendto(packet(3, ciaddr, 0x2222), (server, 4011))
    ack = receive(sock, 0x2222)
    print(describe("ack", ack) if ack else "ack none", flush=True)
