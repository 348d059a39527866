#!/usr/bin/env python3
"""check-fetched.py FAMILY LOADER DIR ISO: after a lab run on a shaped source, checks that kivpxe
served this client what the shipped profile promises: the family's kernel and initrd from the
image root, the per-client answer file, the repository files the installer reads and the end
report; and that the answer file is the family's format as the real installer would parse it.
DIR holds the run's client rows (rows.txt: the files kivpxe served, as its client table shows
them), the client's console (serial.log: the URLs the stand-in fetched) and the snapshot of
"kickstart" taken while the service ran (snap/kickstart)."""
import glob
import re
import subprocess
import sys

family, loader, rundir, iso = sys.argv[1:5]
rows = open(f"{rundir}/rows.txt", errors="replace").read()
console = open(f"{rundir}/serial.log", errors="replace").read().replace("\r", "")
# TFTP names come with or without the leading slash, as the loader asked.
served = {p.lstrip("/") for p in re.findall(r"\((?:HTTP|TFTP)[^)]*\):? ?(\S+)$", rows, re.M)}
fetched = set(re.findall(r"^kiv-installer: fetching (\S+)$", console, re.M))
failures = []


def expect(path, what):
    if path.lstrip("/") in served:
        print(f"ok: kivpxe served the {what} {path}")
    else:
        failures.append(f"kivpxe did not serve the {what} {path}; it served {sorted(served)}")


def expect_fetch(url, what):
    if url in fetched:
        print(f"ok: the installer fetched the {what} {url}")
    else:
        failures.append(f"the installer did not fetch the {what} {url}; it fetched {sorted(fetched)}")


KERNELS = {"ubuntu": ("casper/vmlinuz", "casper/initrd"),
           "rhel": ("images/pxeboot/vmlinuz", "images/pxeboot/initrd.img"),
           "suse": ("boot/x86_64/loader/linux", "boot/x86_64/loader/initrd"),
           "esxi": ("mboot.c32", None)}
REPO = {"ubuntu": ["_RAWISO_.iso"], "rhel": [".treeinfo", "images/install.img"],
        "suse": ["media.1/products", "boot/x86_64/root"], "esxi": []}

# The lab installs in Auto mode: the manual answer file written beside it is not the one followed.
answers = [p for p in glob.glob(f"{rundir}/snap/kickstart/01-*") if not p.endswith((".ex", ".manual"))]
if len(answers) != 1:
    sys.exit(f"FAIL: expected one per-client answer file, found {answers}")
answer = answers[0]
name = answer.split("/")[-1]
text = open(answer).read()
server = re.search(r"http://[0-9.]+:[0-9]+", console + text)
server = server.group(0) if server else ""

kernel, initrd = KERNELS[family]
expect(f"/ISO1/{kernel}", "kernel")
if initrd:
    expect(f"/ISO1/{initrd}", "initrd")
if family == "esxi":
    boot = open(answer.rsplit(".", 1)[0] + ".ex").read()
    fields = dict(line.split("=", 1) for line in boot.splitlines() if "=" in line)
    if not re.search(rf"(^| )ks=http://[0-9.]+:[0-9]+/kickstart/{re.escape(name)}( |$)",
                     fields.get("kernelopt", "")):
        failures.append(f"boot.cfg's kernelopt does not name this client's kickstart: {fields.get('kernelopt')}")
    listing = subprocess.run(["xorriso", "-indev", iso, "-find", "/", "-type", "f"],
                             capture_output=True, text=True).stdout
    files = {f.strip("'").lstrip("/") for f in listing.split()}
    prefix = fields.get("prefix", "").strip("/")
    prefix = prefix.split("/", 1)[1] if "/" in prefix else ""  # below the image root
    for m in [fields.get("kernel", "")] + [m for m in fields.get("modules", "").split() if m != "---"]:
        path = "/".join(p for p in (prefix, m.lstrip("/")) if p)
        if path not in files:
            failures.append(f"boot.cfg names {m}, which the image does not hold at {path}")
    for pat in (r"^vmaccepteula$", r"^rootpw ", r"^install ", r"^%firstboot", r"PXEClientInstallEnd\?mac="):
        if not re.search(pat, text, re.M):
            failures.append(f"the ESXi kickstart has no line matching {pat}")
else:
    expect(f"/kickstart/{name}", "answer file")
    if family == "ubuntu":
        for part in ("meta-data", "user-data"):
            expect_fetch(f"{server}/kickstart/{name}?{part}", f"cloud-init {part}")
        import yaml
        doc = yaml.safe_load(text)
        if not (isinstance(doc, dict) and doc.get("autoinstall", {}).get("version") == 1):
            failures.append("the user-data has no autoinstall version 1")
    else:
        expect_fetch(f"{server}/kickstart/{name}", "answer file")
    if family == "suse":
        lint = subprocess.run(["xmllint", "--noout", answer], capture_output=True, text=True)
        if lint.returncode != 0:
            failures.append(f"xmllint rejects the AutoYaST file: {lint.stderr.strip()}")
    for path in REPO[family]:
        expect(f"/ISO1/{path}", "repository file")
        expect_fetch(f"{server}/ISO1/{path}", "repository file")
    if not re.search(r"^CLIENT .* Install Finished", rows, re.M):
        failures.append("the client's row never read Install Finished")
    if "kiv-installer: installation finished" not in console:
        failures.append("the stand-in installer did not finish on the client's console")

if failures:
    print("FAIL:\n  " + "\n  ".join(failures))
    print("--- client console\n" + console[-3000:])
    sys.exit(1)
print(f"PASS: {family} with {loader}: kivpxe served everything the profile promises")
