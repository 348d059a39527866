#!/usr/bin/env bash
# lab-profile.sh DATADIR: adds the lab's stand-in installer to PLUG_HERON in a data directory,
# the way an operator adds a distribution: one profile entry (appended to the shipped
# plug_heron.json) and its templates, and nothing else.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
data=${1:?usage: lab-profile.sh DATADIR}
prof=$here/profile
python3 - "$top/data/plugin/plug_heron.json" "$prof/entry.json" "$data/plugin/plug_heron.json" <<'PY'
import json, os, sys
shipped, entry, out = sys.argv[1:4]
records = [r for r in json.load(open(shipped)) if r.get("OSName") != "KIVPXE Lab Installer"]
records.append(json.load(open(entry)))
with open(out + ".tmp", "w") as f:
    json.dump(records, f, indent=1)
os.replace(out + ".tmp", out)
PY
for tree in pxelinux grub2 ipxe; do
  install -m 0644 "$prof/$tree/lab-installer.bios" "$prof/$tree/lab-installer.uefi" "$data/$tree/$tree.cfg/"
done
install -m 0644 "$prof/lab-installer.sh" "$data/kickstart/"
