# The swarm's network and server, shared by the load tests and bench/swarm_bench.sh. Source after
# tests/support/netns.sh; everything made here is removed when the sourcing script exits.
#
#   swarm_network                 namespaces $swarm_ns_s (server, vs 10.88.0.1/16) and
#                                 $swarm_ns_c (clients, vc), the pool 10.88.4.0/22 routed as local
#                                 in the clients' namespace so a client can bind its lease
#   swarm_datadir DIR POOL        a lab data directory (lab installer, PXELINUX tree) whose pool
#                                 starts at 10.88.4.1 with POOL addresses
#   swarm_kivpxe DIR OUT          kivpxe headless on DIR, output to OUT; $swarm_pid once started
#                                 (KIV_KIVPXE names another kivpxe binary, e.g. an older build;
#                                 SWARM_CONSOLE=ADDR:PORT serves the console there, not headless)
#   swarm_probe DIR FLAG OUT      REST and console answer times while FLAG exists
#   swarm_run ARGS...             tools/swarm/swarm.py in the clients' namespace
#   swarm_rss PID / swarm_fds PID kivpxe's resident size (kB) and its open descriptors
#   swarm_check_rows OUT N        N rows on OUT, each through its statuses in order to the end

SWARM_SERVER=10.88.0.1
swarm_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
swarm_top=$(cd "$swarm_here/../.." && pwd)

swarm_network() {
  kiv_netns_new swarm_ns_s swarm-s || return 1
  kiv_netns_new swarm_ns_c swarm-c || return 1
  kiv_veth_pair "$swarm_ns_s" vs "$SWARM_SERVER/16" "$swarm_ns_c" vc - || return 1
  ip -n "$swarm_ns_c" addr add 10.88.0.2/16 dev vc
  ip -n "$swarm_ns_c" route add local 10.88.4.0/22 dev vc
}

swarm_iso() {
  local build=${KIV_BINARY_DIR:-$swarm_top/build} iso
  iso=$build/lab/kivpxe-lab-installer.iso
  if [ ! -f "$iso" ] || [ "$iso" -ot "$swarm_top/tools/lab/test-source/init" ]; then
    mkdir -p "$build/lab"
    "$swarm_top/tools/lab/make-test-source.sh" "$iso" > /dev/null || return 1
  fi
  echo "$iso"
}

swarm_datadir() {
  local dir=$1 pool=$2 iso
  iso=$(swarm_iso) || return 1
  KIV_BUILD_DIR=${KIV_BINARY_DIR:-$swarm_top/build} "$swarm_top/tools/make-datadir.sh" "$dir" > "$dir.make.log" 2>&1 || { cat "$dir.make.log"; return 1; }
  "$swarm_top/tools/lab/lab-profile.sh" "$dir" || return 1
  python3 "$swarm_top/tools/configure.py" "$dir" --first 10.88.4.1 --count "$pool" --source "$iso" \
    --loader pxelinux --mask 255.255.0.0 --gateway "$SWARM_SERVER" --http-port 8810 --autostart \
    > /dev/null
}

swarm_kivpxe() {
  local dir=$1 out=$2 bin=${KIV_KIVPXE:-${KIV_BINARY_DIR:-$swarm_top/build}/server/app/kivpxe}
  local mode=--headless
  [ -z "${SWARM_CONSOLE:-}" ] || mode="--console $SWARM_CONSOLE"
  # shellcheck disable=SC2086
  kiv_bg "$swarm_ns_s" "$bin" $mode --data-dir "$dir" > "$out" 2>&1
  swarm_pid=$KIV_LAST_PID
  kiv_wait_for 60 grep -q '^SERVICE started' "$out"
}

swarm_run() {
  ip netns exec "$swarm_ns_c" python3 "$swarm_here/swarm.py" --iface vc --server "$SWARM_SERVER" "$@"
}

# The rows of the table as kivpxe logged them at its latest new row ("log count=N").
swarm_logged_rows() {
  cat "$1"/log/*.log 2>/dev/null | grep -a 'begin to find Index' | tail -n 1 | sed 's/.*log count=\([0-9]*\).*/\1/'
}
swarm_client_files() {
  ls "$1/kickstart" "$1/pxelinux/pxelinux.cfg" | grep -c '^01-'
}

# Until FLAG is removed, every 0.2 s: the time (ms) of a REST query and, when DIR/conf/console.token
# exists, of a console status request; lines "rest|console HTTP-STATUS SECONDS" on OUT.
swarm_probe() {
  local dir=$1 flag=$2 out=$3 token
  while [ -e "$flag" ]; do
    ip netns exec "$swarm_ns_s" curl -s -o /dev/null -m 5 -w 'rest %{http_code} %{time_total}\n' \
      "http://$SWARM_SERVER:18000/rest/v2/pim_get_sysinfo" >> "$out"
    if [ -n "${SWARM_CONSOLE:-}" ] && token=$(cat "$dir/conf/console.token" 2>/dev/null); then
      ip netns exec "$swarm_ns_s" curl -s -o /dev/null -m 5 -H "Authorization: Bearer $token" \
        -w 'console %{http_code} %{time_total}\n' "http://$SWARM_CONSOLE/api/status" >> "$out"
    fi
    sleep 0.2
  done
}

swarm_rss() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
swarm_fds() { ls "/proc/$1/fd" | wc -l; }

# Every MAC's row on kivpxe's output: asked for an address, downloaded over TFTP, then over HTTP,
# then finished, in that order, and nothing after the end. Prints the first fault.
swarm_check_rows() {
  python3 - "$1" "$2" <<'PY'
import re, sys
out, n = sys.argv[1], int(sys.argv[2])
order = ["Requesting IP address", "Downloading file(TFTP", "Download file finished: (HTTP)",
         "Install Finished"]
rows = {}
for line in open(out, errors="replace"):
    m = re.match(r"CLIENT (\S+) (\S+) (\S+) (.*)", line.rstrip("\n"))
    if m:
        rows.setdefault(m.group(1), []).append(m.group(4))
if len(rows) != n:
    sys.exit("%d rows, expected %d" % (len(rows), n))
for mac, statuses in rows.items():
    stage = -1
    for s in statuses:
        k = next((i for i, p in enumerate(order) if s.startswith(p)), None)
        if k is None:
            continue
        if k < stage:
            sys.exit("%s: \"%s\" after \"%s\"" % (mac, s, order[stage]))
        stage = k
    if stage != len(order) - 1 or not statuses[-1].startswith("Install Finished"):
        sys.exit("%s ends with \"%s\"" % (mac, statuses[-1]))
print("%d rows, each through its statuses in order to \"Install Finished\"" % n)
PY
}
