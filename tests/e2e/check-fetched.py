#!/usr/bin/env python3
"""check-fetched.py FAMILY LOADER DATADIR SERIAL ISO: after a lab run on a shaped source, checks that
kivpxe served this client what the shipped profile promises: the family's kernel and initrd from
the image root, the per-client answer file, the repository files the installer reads, and (for
the answer file) that it is the family's format as the real installer would parse it."""
import glob
import re
import subprocess
import sys

family, loader, datadir, serial, iso = sys.argv[1:6]
log = "".join(open(p, errors="replace").read() for p in sorted(glob.glob(f"{datadir}/log/*.log")))
console = open(serial, errors="replace").read().replace("\r", "") if serial else ""
failures = []


def served(path, whole):
    """A TFTP send or an HTTP request of PATH (a URI on the server; with WHOLE false, its start)
    in kivpxe's log."""
    end = "( |$)" if whole else ""
    return re.search(rf"(Start send file |HTTP request url: )/?{re.escape(path)}{end}", log, re.M)


def expect(path, what, whole=True):
    if served(path, whole):
        print(f"ok: {what} {path}")
    else:
        failures.append(f"kivpxe did not serve the {what} {path}")


KERNELS = {"ubuntu": ("casper/vmlinuz", "casper/initrd"),
           "rhel": ("images/pxeboot/vmlinuz", "images/pxeboot/initrd.img"),
           "suse": ("boot/x86_64/loader/linux", "boot/x86_64/loader/initrd")}
ANSWER = {"ubuntu": "yaml", "rhel": "ks", "suse": "xml", "esxi": "ks"}
REPO = {"ubuntu": ["_RAWISO_.iso"], "rhel": [".treeinfo", "images/install.img"],
        "suse": ["media.1/products", "boot/x86_64/root"]}

answers = glob.glob(f"{datadir}/kickstart/01-*.{ANSWER[family]}")
if len(answers) != 1:
    sys.exit(f"FAIL: expected one per-client answer file, found {answers}")
answer = answers[0]
name = answer.split("/")[-1]
text = open(answer).read()

if family == "esxi":
    boot = open(answer[: -len(".ks")] + ".ex").read()
    expect("/ISO1/mboot.c32", "loader")
    fields = dict(line.split("=", 1) for line in boot.splitlines() if "=" in line)
    if not re.search(rf"(^| )ks=http://[0-9.]+:[0-9]+/kickstart/{re.escape(name)}( |$)", fields.get("kernelopt", "")):
        failures.append(f"boot.cfg's kernelopt does not name this client's kickstart: {fields.get('kernelopt')}")
    listing = subprocess.run(["xorriso", "-indev", iso,
                              "-find", "/", "-type", "f"], capture_output=True, text=True).stdout
    files = {f.strip("'").lstrip("/") for f in listing.split()}
    mods = [fields.get("kernel", "")] + [m for m in fields.get("modules", "").split() if m != "---"]
    for m in mods:
        if m.lstrip("/") not in files:
            failures.append(f"boot.cfg names {m}, which the image does not hold")
    for pat in (r"^vmaccepteula$", r"^rootpw ", r"^install ", r"^%firstboot", r"PXEClientInstallEnd\?mac="):
        if not re.search(pat, text, re.M):
            failures.append(f"the ESXi kickstart has no line matching {pat}")
else:
    kernel, initrd = KERNELS[family]
    expect(f"/ISO1/{kernel}", "kernel")
    expect(f"/ISO1/{initrd}", "initrd")
    if family == "ubuntu":
        expect(f"/kickstart/{name}?meta-data", "cloud-init meta-data")
        expect(f"/kickstart/{name}?user-data", "cloud-init user-data")
        import yaml
        doc = yaml.safe_load(text)
        if not (isinstance(doc, dict) and doc.get("autoinstall", {}).get("version") == 1):
            failures.append("the user-data has no autoinstall version 1")
    else:
        expect(f"/kickstart/{name}", "answer file")
    if family == "suse":
        lint = subprocess.run(["xmllint", "--noout", answer], capture_output=True, text=True)
        if lint.returncode != 0:
            failures.append(f"xmllint rejects the AutoYaST file: {lint.stderr.strip()}")
    for path in REPO[family]:
        expect(f"/ISO1/{path}", "repository file")
    expect("/kickstart/PXEClientInstallEnd?mac=", "end-of-install report", whole=False)
    if "kiv-installer: installation finished" not in console:
        failures.append("the stand-in installer did not finish on the client's console")

if failures:
    print("FAIL:\n  " + "\n  ".join(failures))
    print("--- client console\n" + console[-3000:])
    sys.exit(1)
print(f"PASS: {family} with {loader}: kivpxe served everything the profile promises")
