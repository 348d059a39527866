#!/usr/bin/env python3
"""Sets the deployment settings of a data directory (conf/orv.json) for headless use:

    tools/configure.py DATADIR [--first ADDR] [--count N] [--source ISO_OR_DIR]
                       [--loader pxelinux|grub2|ipxe] [--mask MASK] [--gateway ADDR]
                       [--http-port PORT] [--autostart | --no-autostart]

Keys not named stay as they are. The file is written through a temporary file and a rename, as
kivpxe writes it; kivpxe must not be running on that data directory (it saves its settings at exit).
"""
import argparse
import ipaddress
import json
import os
import sys

LOADERS = {"pxelinux": 0, "grub2": 1, "ipxe": 2}


def address(text):
    return int(ipaddress.IPv4Address(text))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("datadir")
    parser.add_argument("--first", type=address, help="first client address")
    parser.add_argument("--count", type=int, help="number of client addresses")
    parser.add_argument("--source", help="installation source: an ISO image or a directory")
    parser.add_argument("--loader", choices=LOADERS)
    parser.add_argument("--mask", type=address, help="DHCP netmask (turns off 'copy host')")
    parser.add_argument("--gateway", type=address, help="DHCP router")
    parser.add_argument("--http-port", type=int)
    parser.add_argument("--root-password", help="root password of the installed systems")
    auto = parser.add_mutually_exclusive_group()
    auto.add_argument("--autostart", dest="autostart", action="store_true", default=None)
    auto.add_argument("--no-autostart", dest="autostart", action="store_false")
    args = parser.parse_args()

    path = os.path.join(args.datadir, "conf", "orv.json")
    settings = {}
    if os.path.exists(path):
        try:
            with open(path) as f:
                settings = json.load(f)
        except ValueError as error:
            sys.exit(f"configure: {path} is not valid JSON ({error}); fix or remove it first")
    if args.first is not None:
        settings["IPAddr"] = args.first
    if args.count is not None:
        if not 1 <= args.count <= 65535:
            sys.exit("configure: --count must be between 1 and 65535")
        settings["IPNum"] = args.count
    if args.source is not None:
        source = os.path.abspath(args.source)
        if not os.path.exists(source):
            sys.exit(f"configure: {source} does not exist")
        settings["ImgPath"] = source.encode().hex().upper()
        settings["ImgISO"] = 0 if os.path.isdir(source) else 1
    if args.loader is not None:
        settings["loader_type"] = LOADERS[args.loader]
    if args.mask is not None:
        settings["dhcp_mask"] = args.mask
        settings["dhcp_followhost"] = 0
    if args.gateway is not None:
        settings["dhcp_gateway"] = args.gateway
    if args.http_port is not None:
        settings["http_port"] = args.http_port
    if args.root_password is not None:
        if not args.root_password or any(ord(c) < 0x20 or c in '"\\<>&' for c in args.root_password):
            sys.exit("configure: --root-password must be non-empty, without control characters "
                     "or any of \" \\ < > &")
        settings["root_password"] = args.root_password
    if args.autostart is not None:
        settings["AutoStart"] = 1 if args.autostart else 0

    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".tmp", "w") as f:
        json.dump(settings, f, indent=3)
        f.write("\n")
    os.replace(path + ".tmp", path)
    print(f"configure: {path} written")


if __name__ == "__main__":
    main()
