#!/usr/bin/env bash
# A room of PXE clients at once against kivpxe and, in the same run, against a stand-in made of
# Debian's dnsmasq (DHCP + TFTP) and nginx (HTTP, and fixed answers for the report requests),
# serving the same files on the same address: usage bench/swarm_bench.sh [N] (default 500).
#
# Per server: a DHCP-only swarm of N new MACs (DISCOVER -> ACK, answers per second), then the full
# swarm of N clients (boot file, menu, kernel, initrd, answer file, reports), its per-phase
# latencies, time to the last client's last byte, kivpxe's peak RSS and threads, its descriptors
# after, and how fast its REST interface and its console answered during the storm.
# Prints the ratios: stand-in time / kivpxe time (goal >= 1.0) and kivpxe DHCP rate / dnsmasq's
# (goal >= 1.0). Needs root (network namespaces); bench/packages.list names the peers.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export KIV_SOURCE_DIR=$top KIV_BINARY_DIR=${KIV_BINARY_DIR:-$top/build}
n=${1:-500}
. "$top/tests/support/netns.sh"
kiv_require_root
for tool in dnsmasq nginx xorriso python3; do
  command -v "$tool" >/dev/null || { echo "swarm_bench: $tool is missing (bench/packages.list)"; exit 1; }
done
. "$top/tools/swarm/swarm-lib.sh"
work=$(mktemp -d /tmp/kiv-swarm-bench.XXXXXX)
chmod 755 "$work"
trap 'kiv_cleanup; [ -n "${KIV_KEEP:-}" ] || rm -rf "$work"' EXIT
die() { echo "swarm_bench: $*"; tail -n 20 "$work/out" 2>/dev/null; exit 1; }
pool=$((2 * n + 10))
[ "$pool" -le 1020 ] || die "at most 505 clients fit the pool 10.88.4.0/22"
# A client whose transfer failed starts over, as firmware does after its retries (counted).
swarm_args=(--count "$n" --rate "${KIV_SWARM_RATE:-100}" --timeout 600 --retries "${KIV_SWARM_RETRIES:-2}")
# The DHCP rate: every DISCOVER sent as fast as the swarm can (answers per second of the server).
dhcp_args=(--count "$n" --rate 5000 --timeout 120 --dhcp-only)

swarm_network || die "no network"
swarm_datadir "$work/data" "$pool" || die "no data directory"

# ---- kivpxe, with its console (answer times are probed during the storm)
SWARM_CONSOLE=127.0.0.1:8800 swarm_kivpxe "$work/data" "$work/out" || die "kivpxe did not start"
sleep 1
idle_fds=$(swarm_fds "$swarm_pid")
( peak=0 threads=0; while kill -0 "$swarm_pid" 2>/dev/null; do
    r=$(swarm_rss "$swarm_pid" 2>/dev/null) && [ "${r:-0}" -gt "$peak" ] && { peak=$r; echo "$peak" > "$work/peak"; }
    t=$(ls "/proc/$swarm_pid/task" 2>/dev/null | wc -l) && [ "$t" -gt "$threads" ] && { threads=$t; echo "$t" > "$work/peak_threads"; }
    sleep 0.2; done ) &
KIV_PID_LIST+=($!)
swarm_run "${dhcp_args[@]}" --mac-prefix 02:5b --json "$work/k-dhcp.json" > "$work/k-dhcp.txt"
touch "$work/probing"
( SWARM_CONSOLE=127.0.0.1:8800 swarm_probe "$work/data" "$work/probing" "$work/probe" ) &
KIV_PID_LIST+=($!)
swarm_run "${swarm_args[@]}" --mac-prefix 02:5a --json "$work/k.json" > "$work/k.txt"
rm -f "$work/probing"
peak_threads=$(cat "$work/peak_threads" 2>/dev/null || echo 0)
kiv_wait_for 20 bash -c "[ \$(ls /proc/$swarm_pid/fd | wc -l) -le $idle_fds ]"
after_fds=$(swarm_fds "$swarm_pid")
rows=$(grep -o '^CLIENT [^ ]*' "$work/out" | sort -u | wc -l)
finished=$(grep '^CLIENT .* Install Finished' "$work/out" | awk '{print $2}' | sort -u | wc -l)
order=$(swarm_check_rows <(grep '^CLIENT 02-5a' "$work/out") "$n" 2>&1)

# The stand-in serves what kivpxe served: its loader tree with the per-client menus, the image's
# files and the answer files, on the same address and ports.
mkdir -p "$work/tftp" "$work/http/ISO1" "$work/nginx"
cp -rL "$work/data/pxelinux/." "$work/tftp/" && cp -r "$work/data/kickstart" "$work/http/" ||
  die "cannot copy kivpxe's files"
xorriso -osirrox on -indev "$(swarm_iso)" -extract / "$work/http/ISO1" > /dev/null 2>&1 || die "cannot extract the image"
chmod -R a+rX "$work/tftp" "$work/http"
kill "$swarm_pid"
kiv_wait_for 20 bash -c "! kill -0 $swarm_pid 2>/dev/null" || die "kivpxe did not stop"

# ---- the stand-in
# --no-ping: kivpxe does not probe an address before offering it (and the clients' namespace
# answers for the whole pool, so every probe would find the address taken).
kiv_bg "$swarm_ns_s" dnsmasq --no-daemon --conf-file=/dev/null --port=0 --interface=vs --bind-interfaces --no-ping \
  --user=root --dhcp-range=10.88.4.1,10.88.7.254,255.255.0.0,1h --dhcp-lease-max=4000 \
  --dhcp-leasefile="$work/dnsmasq.leases" --dhcp-match=set:efi,option:client-arch,7 \
  --dhcp-boot=tag:efi,pxelinux.efi.linux --dhcp-boot=tag:!efi,pxelinux.1408.0 \
  --enable-tftp --tftp-root="$work/tftp" --tftp-max=2000 --log-facility="$work/dnsmasq.log" --quiet-dhcp
cat > "$work/nginx/nginx.conf" <<EOF
worker_processes 2;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen $SWARM_SERVER:8810;
    root $work/http;
    location /kickstart/virturl_report_client_info { return 200 "ok"; }
    location /kickstart/PXEClientInstallEnd { return 200 "ok"; }
  }
  server {
    listen $SWARM_SERVER:18000;
    location / { return 200 '{"result" : "success"}'; }
  }
}
EOF
kiv_bg "$swarm_ns_s" nginx -p "$work/nginx" -c "$work/nginx/nginx.conf"
kiv_wait_for 10 ip netns exec "$swarm_ns_s" bash -c "exec 3<>/dev/tcp/$SWARM_SERVER/8810" || die "nginx did not start"
swarm_run "${dhcp_args[@]}" --mac-prefix 02:5b --json "$work/s-dhcp.json" > "$work/s-dhcp.txt"
swarm_run "${swarm_args[@]}" --mac-prefix 02:5a --json "$work/s.json" > "$work/s.txt"

python3 - "$work" "$n" "$(cat "$work/peak" 2>/dev/null || echo 0)" "$idle_fds" "$after_fds" "$rows" "$finished" "$order" "$peak_threads" <<'PY'
import json, sys
w, n, peak, idle, after, rows, finished, order, threads = sys.argv[1:10]
k, s = json.load(open(w + "/k.json")), json.load(open(w + "/s.json"))
kd, sd = json.load(open(w + "/k-dhcp.json")), json.load(open(w + "/s-dhcp.json"))
print("Swarm of %s PXE clients (half BIOS, half UEFI; 1/4 windowsize 4; 1/4 Range)" % n)
print("%-12s %21s %21s" % ("phase (ms)", "kivpxe p50/p99", "dnsmasq+nginx p50/p99"))
for p in k["phases"]:
    a, b = k["phases"][p], s["phases"].get(p, {})
    print("%-12s %10.1f/%-10.1f %10.1f/%-10.1f" % (p, a["p50"], a["p99"], b.get("p50", float("nan")),
                                                  b.get("p99", float("nan"))))
print("%-34s %12s %12s" % ("", "kivpxe", "stand-in"))
print("%-34s %12d %12d" % ("clients finished", k["finished"], s["finished"]))
print("%-34s %12d %12d" % ("distinct leases", k["distinct_leases"], s["distinct_leases"]))
print("%-34s %12.2f %12.2f" % ("time to last byte (s)", k["seconds_to_last_byte"], s["seconds_to_last_byte"]))
print("%-34s %12d %12d" % ("menu asked before it was written", k["menu_not_ready"], s["menu_not_ready"]))
print("%-34s %12d %12d" % ("clients that started over", k["restarts"], s["restarts"]))
print("%-34s %12.1f %12.1f" % ("DHCP answers/s (new MACs)", kd.get("dhcp_answers_per_s", 0),
                              sd.get("dhcp_answers_per_s", 0)))
print("kivpxe: rows %s, rows reading Install Finished %s, peak RSS %.1f MB, descriptors idle %s after %s" %
      (rows, finished, int(peak) / 1024.0, idle, after))
print("kivpxe rows in order: %s; peak threads %s" % (order, threads))
probes = {}
for line in open(w + "/probe"):
    what, status, secs = line.split()
    # A request without an answer counts as the longest wait.
    probes.setdefault(what, []).append(float(secs.replace(",", ".")) * 1000 if status == "200"
                                       else float("inf"))
for what, ms in sorted(probes.items()):
    ms.sort()
    late = sum(1 for m in ms if m > 200)
    print("kivpxe %-7s answers during the storm: %d, p50 %.1f ms, p99 %.1f ms, max %.1f ms, "
          "over 200 ms or none: %d" % (what, len(ms), ms[len(ms) // 2], ms[int(0.99 * (len(ms) - 1))],
                                       ms[-1], late))
for name, d in (("kivpxe", k), ("stand-in", s)):
    for mac, e in list(d["errors"].items())[:5]:
        print("%s error: %s %s" % (name, mac, e))
print("RATIO time to last byte, stand-in/kivpxe: %.2f (goal >= 1.0)" %
      (s["seconds_to_last_byte"] / k["seconds_to_last_byte"]))
print("RATIO DHCP answers/s, kivpxe/dnsmasq: %.2f (goal >= 1.0)" %
      (kd.get("dhcp_answers_per_s", 0) / max(sd.get("dhcp_answers_per_s", 0), 1e-9)))
PY
