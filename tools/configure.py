#!/usr/bin/env python3
"""Sets the deployment settings of a data directory (conf/orv.json) for headless use:

    tools/configure.py DATADIR [--first ADDR] [--count N] [--source ISO_OR_DIR]
                       [--loader pxelinux|grub2|ipxe] [--mask MASK] [--gateway ADDR]
                       [--http-port PORT] [--autostart | --no-autostart]
                       [--dns A[,B,C]|auto|none] [--domain D|none] [--proxy | --no-proxy]
                       [--relay | --no-relay] [--ipv6-ra | --no-ipv6-ra]
                       [--windows-mode share|httpdisk]
                       [--windows-user USER --windows-password-file FILE]

Keys not named stay as they are. The file is written through a temporary file and a rename, as
kivpxe writes it; kivpxe must not be running on that data directory (it saves its settings at exit).
"""
import argparse
import ipaddress
import json
import os
import re
import subprocess
import sys

LOADERS = {"pxelinux": 0, "grub2": 1, "ipxe": 2}
DOMAIN_LABEL = re.compile(r"[A-Za-z0-9-]{1,63}")
WINDOWS_MODES = {"share": 0, "httpdisk": 1}
# The fixed AES-128-CBC key and IV under which PLUG_OSPREY keeps the share password of
# Ferrit/Ferrit.json (out of plain sight only), ISO/IEC 7816-4 padding, upper-case hex.
TEMPLATE_KEY = "4b49562d4f53505245592d4b45593136"
TEMPLATE_IV = "191107300518" "4f5350524559" "2d495621"


def template_password(clear):
    data = clear.encode() + b"\x80"
    data += b"\0" * (-len(data) % 16)
    out = subprocess.run(["openssl", "enc", "-aes-128-cbc", "-nopad", "-K", TEMPLATE_KEY, "-iv",
                          TEMPLATE_IV], input=data, capture_output=True, check=True).stdout
    return out.hex().upper()


def store_windows_account(datadir, account, password_file):
    """Stores the operator's own share account the way the console's credentials dialog does."""
    domain, _, user = account.rpartition("\\")
    if not user or user == "root":
        sys.exit("configure: --windows-user must name the operator's Samba account (not root)")
    try:
        with open(password_file) as f:
            password = f.readline().rstrip("\r\n")
    except OSError as error:
        sys.exit(f"configure: cannot read {password_file}: {error}")
    if not password:
        sys.exit(f"configure: {password_file} holds no password")
    path = os.path.join(datadir, "Ferrit", "Ferrit.json")
    try:
        with open(path) as f:
            agent = json.load(f)
    except (OSError, ValueError) as error:
        sys.exit(f"configure: cannot read {path} ({error}); run tools/make-datadir.sh first")
    agent.update(DOMAIN=domain or ".", USERNAME=user, PASSWORD=template_password(password))
    with open(path + ".tmp", "w") as f:
        json.dump(agent, f, indent=3, sort_keys=True, separators=(",", " : "))
        f.write("\n")
    os.replace(path + ".tmp", path)


def address(text):
    return int(ipaddress.IPv4Address(text))


def host_resolvers(path="/etc/resolv.conf"):
    """The IPv4 name servers this host uses, loopback ones (a local stub) left out."""
    found = []
    try:
        with open(path) as f:
            for line in f:
                words = line.split()
                if len(words) >= 2 and words[0] == "nameserver":
                    try:
                        addr = ipaddress.IPv4Address(words[1])
                    except ValueError:
                        continue
                    if not addr.is_loopback and str(addr) not in found:
                        found.append(str(addr))
    except OSError as error:
        sys.exit(f"configure: --dns auto: cannot read {path} ({error})")
    return found[:3]


def name_servers(text):
    if text == "none":
        return []
    if text == "auto":
        found = host_resolvers(os.environ.get("KIV_RESOLV_CONF", "/etc/resolv.conf"))
        if not found:
            raise argparse.ArgumentTypeError("--dns auto: the host has no resolver outside 127.0.0.0/8")
        return found
    parts = [part.strip() for part in text.split(",")]
    if not 1 <= len(parts) <= 3:
        raise argparse.ArgumentTypeError("one to three addresses")
    for part in parts:
        try:
            if int(ipaddress.IPv4Address(part)) == 0:
                raise ValueError
        except ValueError:
            raise argparse.ArgumentTypeError(f"{part!r} is not a name server address")
    return parts


def domain(text):
    if text == "none":
        return ""
    if len(text) > 253 or not all(DOMAIN_LABEL.fullmatch(label) for label in text.split(".")):
        raise argparse.ArgumentTypeError(f"{text!r} is not a domain name")
    return text


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
    parser.add_argument("--dns", type=name_servers,
                        help="name servers for clients: up to three addresses, 'auto' (this "
                        "host's resolvers outside 127.0.0.0/8) or 'none'")
    parser.add_argument("--domain", type=domain, help="domain for clients, or 'none'")
    proxy = parser.add_mutually_exclusive_group()
    proxy.add_argument("--proxy", dest="proxy", action="store_true", default=None,
                       help="proxyDHCP beside the site's DHCP server (no addresses handed out)")
    proxy.add_argument("--no-proxy", dest="proxy", action="store_false")
    relay = parser.add_mutually_exclusive_group()
    relay.add_argument("--relay", dest="relay", action="store_true", default=None,
                       help="serve requests relayed from the pool's subnet (giaddr)")
    relay.add_argument("--no-relay", dest="relay", action="store_false")
    ipv6_ra = parser.add_mutually_exclusive_group()
    ipv6_ra.add_argument("--ipv6-ra", dest="ipv6_ra", action="store_true", default=None,
                         help="answer IPv6 router solicitations with lifetime 0 (only on a "
                         "network without IPv6 routers)")
    ipv6_ra.add_argument("--no-ipv6-ra", dest="ipv6_ra", action="store_false")
    parser.add_argument("--root-password", help="root password of the installed systems")
    auto = parser.add_mutually_exclusive_group()
    auto.add_argument("--autostart", dest="autostart", action="store_true", default=None)
    auto.add_argument("--no-autostart", dest="autostart", action="store_false")
    parser.add_argument("--windows-mode", choices=WINDOWS_MODES,
                        help="how Windows clients read the source: SMB share or HTTP disk")
    parser.add_argument("--windows-user",
                        help="share mode: the operator's own account (USER or DOMAIN\\USER) "
                             "instead of kivpxe-share; needs --windows-password-file")
    parser.add_argument("--windows-password-file", help="first line: that account's password")
    args = parser.parse_args()
    if (args.windows_user is None) != (args.windows_password_file is None):
        parser.error("--windows-user and --windows-password-file go together")
    if args.windows_user is not None:
        store_windows_account(args.datadir, args.windows_user, args.windows_password_file)

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
    if args.dns is not None:
        settings["dhcp_dns"] = args.dns
    if args.domain is not None:
        settings["dhcp_domain"] = args.domain
    if args.proxy is not None:
        settings["dhcp_proxy"] = 1 if args.proxy else 0
    if args.relay is not None:
        settings["dhcp_relay"] = 1 if args.relay else 0
    if args.ipv6_ra is not None:
        settings["ipv6_ra"] = 1 if args.ipv6_ra else 0
    if args.windows_mode is not None:
        settings["http_disk_mode"] = WINDOWS_MODES[args.windows_mode]
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
