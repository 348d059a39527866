#!/usr/bin/env bash
# Share mode against a real smbd: runs OspreySamba.* of osprey_unit inside private mount and
# network namespaces. /etc is a private copy there (useradd and smbpasswd write into it) and smbd
# runs in the foreground on the namespace's loopback with its own state directories; the
# machine's users and Samba are never touched.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root for the namespaces"; exit 77; }
for tool in smbd smbclient smbpasswd net useradd unshare; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (tools/packages/osprey.list)"; exit 77; }
done
unit=${KIV_BINARY_DIR:?}/plugins/osprey/tests/osprey_unit
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/inner.sh" <<'INNER'
set -euo pipefail
work=$1 unit=$2
mount --make-rprivate /
cp -a /etc "$work/etc"
mount --bind "$work/etc" /etc
mkdir -p "$work"/{usershares,state,cache,lock,pid,private,log}
chmod 1770 "$work/usershares"
cat >/etc/samba/smb.conf <<CONF
[global]
  interfaces = lo
  bind interfaces only = yes
  smb ports = 445
  disable netbios = yes
  server role = standalone server
  passdb backend = tdbsam
  state directory = $work/state
  cache directory = $work/cache
  lock directory = $work/lock
  pid directory = $work/pid
  private dir = $work/private
  ncalrpc dir = $work/ncalrpc
  log file = $work/log/smbd.log
  usershare path = $work/usershares
  usershare max shares = 10
  usershare owner only = no
CONF
ip link set lo up
# its own process group: smbd ends its group when it stops
setsid smbd -F --no-process-group -s /etc/samba/smb.conf </dev/null >"$work/log/stdout" 2>&1 &
smbd_pid=$!
# At the end: smbd, then the RPC helpers net and smbd started on demand, which outlive them;
# every process in this test's own network namespace is one the test started.
stop_all() {
  kill "$smbd_pid" 2>/dev/null; wait "$smbd_pid" 2>/dev/null || true
  local me p
  me=$(readlink /proc/self/ns/net)
  for p in /proc/[0-9]*; do
    [ "${p#/proc/}" != $$ ] && [ "$(readlink "$p/ns/net" 2>/dev/null)" = "$me" ] && kill "${p#/proc/}" 2>/dev/null
  done
  true
}
trap stop_all EXIT
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/445) 2>/dev/null && break
  sleep 0.1
done
(exec 3<>/dev/tcp/127.0.0.1/445) 2>/dev/null || { echo "smbd did not listen"; cat "$work/log/"*; exit 1; }
KIV_SAMBA_NS=1 timeout 200 "$unit" --gtest_filter='OspreySamba.*' 2>&1
INNER
cd "$work"
timeout 250 unshare -m -n bash "$work/inner.sh" "$work" "$unit"
