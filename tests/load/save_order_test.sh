#!/usr/bin/env bash
# Power-loss order of kivpxe's saves, watched with strace on the real program: one client takes a
# lease (per-client files written, the lease database saved while running), then SIGTERM saves
# the settings and the lease database. Every rename onto conf/orv.json, conf/dhcp_db.json and a
# per-client file must come after the temporary file's fsync and close, and be followed by an
# fsync of the directory.
set -uo pipefail
. "$KIV_SOURCE_DIR/tests/load/load-lib.sh"
load_test_begin saves strace
fail() { echo "FAIL: $*"; tail -n 20 "$work/out"; exit 1; }

swarm_network || fail "no network"
swarm_datadir "$work/data" 5 || fail "no data directory"
bin=${KIV_KIVPXE:-$KIV_BINARY_DIR/server/app/kivpxe}
kiv_bg "$swarm_ns_s" strace -f -y -qq -o "$work/trace" -e trace=openat,fsync,fdatasync,close,rename,renameat,renameat2 \
  "$bin" --headless --data-dir "$work/data" > "$work/out" 2>&1
tracer=$KIV_LAST_PID
kiv_wait_for 60 grep -q '^SERVICE started' "$work/out" || fail "kivpxe did not start"
swarm_run --count 1 --timeout 60 > "$work/swarm.txt" || { cat "$work/swarm.txt"; fail "the client did not finish"; }
sleep 3  # the lease database is saved within 2 s of a change
kill -TERM "$(pgrep -P "$tracer" | head -n 1)"
kiv_wait_for 20 bash -c "! kill -0 $tracer 2>/dev/null" || fail "kivpxe did not stop"

python3 - "$work/trace" "$work/data" <<'PY'
import os, re, sys
trace, data = sys.argv[1], os.path.realpath(sys.argv[2])
lines = open(trace, errors="replace").read().splitlines()
wanted = {"conf/orv.json": 0, "conf/dhcp_db.json": 0, "client file": 0}
bad = []
for i, line in enumerate(lines):
    m = re.search(r'rename(?:at2?)?\((?:AT_FDCWD, )?"([^"]+)", (?:AT_FDCWD, )?"([^"]+)"(?:, \d+)?\) = 0', line)
    if not m:
        continue
    tmp, dst = m.group(1), m.group(2)
    if dst.endswith("conf/orv.json"):
        kind = "conf/orv.json"
    elif dst.endswith("conf/dhcp_db.json"):
        kind = "conf/dhcp_db.json"
    elif os.path.basename(dst).startswith("01-"):
        kind = "client file"
    else:
        continue
    wanted[kind] += 1
    base = os.path.basename(tmp)
    before = lines[:i]
    # A call of another thread may be cut in two ("<unfinished ...>"): its start is enough, the
    # saving thread runs these calls one after the other.
    synced = [j for j, l in enumerate(before) if re.search(r'fsync\(\d+<[^>]*/' + re.escape(base) + r'>', l)]
    closed = [j for j, l in enumerate(before) if re.search(r'close\(\d+<[^>]*/' + re.escape(base) + r'>', l)]
    if not synced or not closed or closed[-1] < synced[-1]:
        bad.append("%s: no fsync then close of %s before its rename" % (kind, base))
        continue
    folder = os.path.dirname(os.path.join(data, dst)) if not dst.startswith("/") else os.path.dirname(dst)
    folder = os.path.realpath(folder)
    after = lines[i + 1:i + 40]
    if not any(re.search(r'fsync\(\d+<' + re.escape(folder) + r'/?>', l) for l in after):
        bad.append("%s: no fsync of %s after the rename" % (kind, folder))
for kind, n in wanted.items():
    if n == 0:
        bad.append("no save of %s seen" % kind)
for b in bad[:10]:
    print("FAIL:", b)
print("saves checked:", wanted)
sys.exit(1 if bad else 0)
PY
