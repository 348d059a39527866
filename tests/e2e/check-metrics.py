#!/usr/bin/env python3
"""check-metrics.py METRICS ISO TFTP_SNAPSHOT: the server's /metrics, read when the lab's one client
had reached "Install Finished", against that run: one client, finished; the deployment of the
lab installer by PLUG_HERON running; every DISCOVER answered by an OFFER and every REQUEST by an
ACK or NAK, nothing refused; TFTP sent at least the per-client iPXE script, HTTP at least the kernel and
initrd of the source, and every transfer started ended."""
import glob
import os
import re
import subprocess
import sys
import tempfile

metrics_path, iso, tftp = sys.argv[1:4]
values = {}
for line in open(metrics_path):
    if line.startswith("#") or not line.strip():
        continue
    m = re.fullmatch(r'(\w+)(?:\{(.*)\})? (\d+)', line.strip())
    if not m:
        sys.exit(f"FAIL: unreadable metrics line {line!r}")
    labels = tuple(sorted(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', m.group(2) or "")))
    values[(m.group(1), labels)] = int(m.group(3))


def v(name, **labels):
    key = (name, tuple(sorted(labels.items())))
    if key not in values:
        sys.exit(f"FAIL: no {name}{labels} in the metrics")
    return values[key]


def family(name):
    return {dict(k[1]).get("reason") or dict(k[1]).get("phase"): n for k, n in values.items() if k[0] == name}


errors = []


def check(ok, what):
    if not ok:
        errors.append(what)


check(v("kivpxe_deployment_running") == 1, "deployment not running")
check(v("kivpxe_plugin_in_use", plugin="PLUG_HERON.so", os="KIVPXE Lab Installer") == 1,
      "PLUG_HERON with the lab installer not in use")
phases = family("kivpxe_clients")
check(phases.get("finished") == 1 and sum(phases.values()) == 1, f"clients by phase {phases}")

dhcp = lambda d, t: v("kivpxe_dhcp_messages_total", direction=d, type=t)
check(dhcp("in", "discover") >= 1 and dhcp("out", "offer") == dhcp("in", "discover"),
      f"{dhcp('in', 'discover')} discovers, {dhcp('out', 'offer')} offers")
check(dhcp("in", "request") >= 1 and dhcp("out", "ack") + dhcp("out", "nak") == dhcp("in", "request"),
      f"{dhcp('in', 'request')} requests, {dhcp('out', 'ack')} acks, {dhcp('out', 'nak')} naks")
check(dhcp("out", "ack") >= 1, "no ACK")
refused = family("kivpxe_dhcp_refusals_total")
check(set(refused) >= {"finished", "mac_filter", "not_pxe", "pool_exhausted", "malformed"},
      f"refusal reasons {sorted(refused)}")
check(sum(refused.values()) == 0, f"refusals {refused}")

with tempfile.TemporaryDirectory() as tmp:
    subprocess.run(["xorriso", "-osirrox", "on", "-indev", iso, "-extract", "/install", tmp + "/install"],
                   check=True, capture_output=True)
    http_least = sum(os.path.getsize(f"{tmp}/install/{f}") for f in ("vmlinuz", "initrd.gz"))
# QEMU's iPXE ROM fetches only its per-client script over TFTP.
scripts = glob.glob(os.path.join(tftp, "ipxe.cfg", "01-*"))
check(len(scripts) == 1, f"per-client scripts {scripts}")
tftp_least = sum(os.path.getsize(f) for f in scripts)
for service, least, files in (("tftp", tftp_least, 1), ("http", http_least, 2)):
    t = lambda outcome: v("kivpxe_transfers_total", service=service, outcome=outcome)
    sent = v("kivpxe_transfer_bytes_total", service=service)
    check(t("finished") >= files and t("started") == t("finished") + t("failed"),
          f"{service}: {t('started')} started, {t('finished')} finished, {t('failed')} failed")
    check(sent >= least, f"{service}: {sent} bytes sent, the run needed at least {least}")
if errors:
    sys.exit("FAIL: the metrics do not tell this run: " + "; ".join(errors) + "\n" + open(metrics_path).read())
print(f"PASS: metrics tell the run: {dhcp('in', 'discover')} discovers/offers, {dhcp('in', 'request')} "
      f"requests, {v('kivpxe_transfer_bytes_total', service='tftp')} TFTP and "
      f"{v('kivpxe_transfer_bytes_total', service='http')} HTTP bytes, one client finished")
