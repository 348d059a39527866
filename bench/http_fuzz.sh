#!/usr/bin/env bash
# Builds the libFuzzer targets of the HTTP head parser and the REST request parser with clang
# (ASan + UBSan) and runs each on arbitrary bytes.
# Usage: bench/http_fuzz.sh [runs]   (default 3000000 executions per target)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3000000}
work=${TMPDIR:-/tmp}/kiv_http_fuzz_$$
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/head" "$work/rest"
command -v clang++ >/dev/null || { echo "http_fuzz: clang++ is needed (tools/setup.sh)"; exit 77; }

http=$top/server/qvHTTP
common=$top/server/common
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$http" -I"$common" -I"$top/server/media" -I"$top/server/platform")
libs=$(pkg-config --cflags --libs glib-2.0 libevent jsoncpp)
clang++ "${flags[@]}" "$top/bench/http_head_fuzz.cpp" "$http/qvhttp_util.cpp" \
  "$common/qv_log_sink.cpp" $libs -o "$work/http_head_fuzz"
clang++ "${flags[@]}" "$top/bench/rest_fuzz.cpp" "$http/kiv_restful.cpp" "$http/qvhttp_util.cpp" \
  "$common/qv_log_sink.cpp" $libs -lpthread -o "$work/rest_fuzz"

printf 'GET /a%%20b?mac=00-11-22-33-44-55 HTTP/1.1\r\nRange: bytes=5-9\r\nConnection: close\r\n\r\n' \
  > "$work/head/seed"
printf 'GET /rest/v1/notify_pim_ks?mac=00-11-22-33-44-55&ip=10.0.0.5&bios=UEFI HTTP/1.1\r\n\r\n' \
  > "$work/rest/seed"
# Raw bytes that are not UTF-8, where they once crashed the regex JIT.
printf 'GET /a HTTP/1.1\r\nRange: bytes=5-\xff' > "$work/head/raw"
printf 'GET /rest/v1/x\xff^\xfe HTTP/1.1\r\n' > "$work/rest/raw"
cd "$work"
for pair in "http_head head" "rest rest"; do
  read -r target corpus <<<"$pair"
  echo "== ${target}_fuzz"
  "$work/${target}_fuzz" -runs="$runs" -max_len=4096 -print_final_stats=1 "$work/$corpus" 2>&1 |
    grep -E "^(#|stat::number_of_executed_units|stat::peak_rss|==|SUMMARY|Done)" | tail -8
done
