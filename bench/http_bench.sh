#!/usr/bin/env bash
# Throughput of the HTTP service against Debian's nginx (sendfile on), both on loopback in the
# same run: one client fetching a 1 GiB file, and 200 parallel clients fetching 50 MiB each.
# Prints times, throughput and the KIVPXE/nginx ratio (goal: at least 0.8).
#   bench/http_bench.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KIV_BUILD_DIR:-$top/build}}
server=$build/server/qvHTTP/qvhttp_testserver
[ -x "$server" ] || { echo "build first: $server is missing"; exit 1; }
"$top/tools/setup.sh" "$top/bench/packages.list"
for tool in nginx curl xargs bc; do
  command -v "$tool" >/dev/null || { echo "$tool is missing"; exit 1; }
done

work=$(mktemp -d "/tmp/kiv-http-bench-$$-XXXXXX")
chmod 755 "$work" # nginx workers run as an unprivileged user when started by root
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

CLIENTS=${CLIENTS:-200}
mkdir -p "$work/root" "$work/nginx"
echo "making the files (1 GiB and 50 MiB of random data) ..."
head -c 1G /dev/urandom >"$work/root/big.bin"
head -c 50M /dev/urandom >"$work/root/f50m.bin"
cat "$work/root/"* >/dev/null # both servers read from the page cache

free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 30000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
}

# KIVPXE
(exec "$server" --maxconn 512 --root "files=$work/root" >"$work/kiv.port" 2>"$work/kiv.log") &
pids+=($!)
for _ in $(seq 50); do grep -q PORT "$work/kiv.port" && break; sleep 0.1; done
kiv_port=$(awk '/^PORT/ {print $2}' "$work/kiv.port")

# nginx, from its own configuration, in the foreground of its own process
ngx_port=$(free_port)
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 2;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 60;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$ngx_port;
    root $work/root;
    location /files/ { alias $work/root/; }
  }
}
EOF
(exec nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>>"$work/nginx/error.log") &
pids+=($!)
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$ngx_port/files/f50m.bin" && break; sleep 0.1; done

# seconds BYTES CMD...: wall time of a command whose clients print the bytes they received;
# a run that did not move exactly BYTES stops the benchmark.
seconds() {
  local want=$1 t0 t1 got
  shift
  t0=$(date +%s.%N)
  got=$("$@" | awk '{s += $1} END {printf "%.0f", s}')
  t1=$(date +%s.%N)
  if [ "$got" != "$want" ]; then
    echo "$* moved $got bytes, expected $want" >&2
    exit 1
  fi
  echo "$t1 - $t0" | bc -l
}

fetch() { curl -s -o /dev/null -w '%{size_download}\n' "$1"; }
export -f fetch
one_big() { fetch "http://127.0.0.1:$1/files/big.bin"; }
many() {
  seq "$CLIENTS" | xargs -P "$CLIENTS" -I{} bash -c 'fetch "$0"' "http://127.0.0.1:$1/files/f50m.bin"
}

# Each case runs three times per server, alternating; the best time counts.
best() { printf '%s\n' "$@" | sort -g | head -1; }
declare -A t
declare -A bytes=([one_big]=$((1 << 30)) [many]=$((CLIENTS * 50 << 20)))
for case in one_big many; do
  kiv=() ngx=()
  for _ in 1 2 3; do
    kiv+=("$(seconds "${bytes[$case]}" $case "$kiv_port")")
    ngx+=("$(seconds "${bytes[$case]}" $case "$ngx_port")")
  done
  t[$case,kiv]=$(best "${kiv[@]}")
  t[$case,ngx]=$(best "${ngx[@]}")
done

row() { # NAME BYTES CASE
  local k=${t[$3,kiv]} n=${t[$3,ngx]}
  printf '| %-22s | %8.2f s | %9.0f MiB/s | %8.2f s | %9.0f MiB/s | %5.2f |\n' "$1" \
    "$k" "$(echo "$2 / 1048576 / $k" | bc -l)" "$n" "$(echo "$2 / 1048576 / $n" | bc -l)" \
    "$(echo "$n / $k" | bc -l)"
}
echo
echo "| case                   | KIVPXE     | KIVPXE          | nginx      | nginx           | ratio |"
echo "|------------------------|------------|-----------------|------------|-----------------|-------|"
row "1 GiB, one client" "${bytes[one_big]}" one_big
row "50 MiB x $CLIENTS clients" "${bytes[many]}" many
echo "(ratio = KIVPXE throughput / nginx throughput; best of three runs each)"
