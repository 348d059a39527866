#!/usr/bin/env bash
# The agent's chain against kivpxe and Samba (tools/lab/lab.sh --source windows) for a BIOS and
# a UEFI client: the row's history from "Requesting IP address" to "Install Finished" in order,
# the identity with its spaces in the client's detail, the share reached with the kivpxe-share
# account, the disk taken from the fake disks (the first that is not on USB), the answer file
# Setup gets keeping InstallTo with the firmware's partition, and no download waiting for the
# server to close the connection (kivpxe keeps connections for 60 s).
set -uo pipefail
src=${KIV_SOURCE_DIR:?}
export KIV_BUILD_DIR=${KIV_BINARY_DIR:?}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# firmware loader partition
cases=("bios pxelinux 2" "efi64 ipxe 3")
for case in "${cases[@]}"; do
  read -r firmware loader partition <<< "$case"
  echo "=== $firmware client, $loader tree"
  KIV_LAB_HISTORY=$work/detail.json KIV_LAB_AGENT=$work/agent.out \
    timeout 400 "$src/tools/lab/lab.sh" --source windows --firmware "$firmware" --loader "$loader" --timeout 100
  status=$?
  [ "$status" -eq 77 ] && exit 77
  [ "$status" -eq 0 ] || fail "$firmware: the Windows lab failed ($status)"

  python3 - "$work/detail.json" <<'PY' || fail "$firmware: the row's detail"
import json, sys
d = json.load(open(sys.argv[1]))
d = d.get("result", d)
want = {"vendor": "Dell Inc.", "product": "OptiPlex 7090", "serial": "CN 0R1 2024"}
got = {k: d.get(k) for k in want}
assert got == want, "identity %r" % got
statuses = [e["status"] for e in d["history"]]
order = ["Requesting IP address", "Installing OS ...", "Rebooting to finish install", "Install Finished"]
at = 0
for s in statuses:
    if at < len(order) and s.startswith(order[at]):
        at += 1
assert statuses[0].startswith(order[0]) and statuses[-1].startswith(order[-1]) and at == len(order), \
    "history %r" % statuses
PY
  grep -qF "InstallTo DiskID=1 PartitionID=$partition" "$work/agent.out" ||
    fail "$firmware: Setup did not get InstallTo on disk 1, partition $partition: $(grep -F setup "$work/agent.out")"
  grep -qE 'share //10\.215\.0\.1/[^ ]+ as [A-Z]: \(smbclient, account kivpxe-share\): connected' "$work/agent.out" ||
    fail "$firmware: the share was not reached with kivpxe-share"
  downloads=$(grep -E '^ferrit-lab: +[0-9]+ download' "$work/agent.out")
  grep -qF unattended_temp.xml <<< "$downloads" || fail "$firmware: no answer file download: $downloads"
  while read -r ms; do
    [ "$ms" -lt 30000 ] || fail "$firmware: a download waited for the server's close: $downloads"
  done < <(sed -n 's/.* in \([0-9-]*\) ms.*/\1/p' <<< "$downloads")
done
echo "PASS"
