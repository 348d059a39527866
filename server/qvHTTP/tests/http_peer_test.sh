#!/usr/bin/env bash
# The HTTP service against curl and raw sockets on 127.0.0.1: whole files, ranges, HEAD,
# listings of a directory and of an ISO image, pipelined requests, keep-alive, idle close,
# request events, report URLs, and hostile input.
. "$(dirname "$0")/http_lib.sh"
need curl xorriso sha256sum

# Fixtures: a directory root and an ISO image root.
mkdir -p "$WORK/kick/sub" "$WORK/isosrc/boot/grub"
head -c 20000 /dev/urandom >"$WORK/kick/f20000"
head -c 1000 /dev/urandom >"$WORK/kick/f1000"
head -c $((6 * 1024 * 1024)) /dev/urandom >"$WORK/kick/big6m"
head -c $((4 * 1024 * 1024)) /dev/urandom >"$WORK/kick/mid4m"
echo AAAA >"$WORK/kick/a.txt"
echo BBBB >"$WORK/kick/b.txt"
echo sub >"$WORK/kick/sub/s.cfg"
head -c 30000 /dev/urandom >"$WORK/isosrc/boot/vmlinuz"
echo "set timeout=5" >"$WORK/isosrc/boot/grub/grub.cfg"
xorriso -as mkisofs -quiet -R -J -o "$WORK/src.iso" "$WORK/isosrc" 2>/dev/null ||
  skip "xorriso could not build an image"

# Links out of the root and inside it; names that are markup.
mkdir -p "$WORK/outside" "$WORK/kick/hostile" "$WORK/isohostile"
echo secret >"$WORK/outside/secret"
ln -s "$WORK/outside" "$WORK/kick/outlink"
ln -s "$WORK/outside/secret" "$WORK/kick/secretlink"
ln -s sub "$WORK/kick/inlink"
ln -s a.txt "$WORK/kick/alink"
echo x >"$WORK/kick/hostile/<img src=x onerror=alert(1)>.txt"
echo x >"$WORK/isohostile/<img src=x onerror=alert(1)>.txt"
xorriso -as mkisofs -quiet -R -J -o "$WORK/hostile.iso" "$WORK/isohostile" 2>/dev/null ||
  skip "xorriso could not build an image"
# A corrupt image: one file's recorded data runs past the image's end.
mkdir -p "$WORK/isocorrupt"
echo fine >"$WORK/isocorrupt/ok.cfg"
head -c 5000 /dev/urandom >"$WORK/isocorrupt/big.cfg"
xorriso -as mkisofs -quiet -R -J -o "$WORK/corrupt.iso" "$WORK/isocorrupt" 2>/dev/null ||
  skip "xorriso could not build an image"
python3 "$KIV_SOURCE_DIR/tests/support/iso_overrun.py" "$WORK/corrupt.iso" "BIG.CFG;1"

mkdir -p "$WORK/virtualiso/extfile"
echo "prepared answer file" >"$WORK/virtualiso/extfile/ks-prepared.cfg"
start_server main --idle 3 --events "$WORK/events" \
  --root "ISO1=$WORK/src.iso" --root "kickstart=$WORK/kick" --root "HOSTILE=$WORK/hostile.iso" \
  --root "CORRUPT=$WORK/corrupt.iso" \
  --rule "kickstart:auto/ks.cfg=ks-prepared.cfg" --rule "kickstart:f1000=missing-target"

# --- files and ranges ------------------------------------------------------------------------
code=$(curl -s -o "$WORK/got" -w '%{http_code} %{size_download}' "$(URL /kickstart/f20000)")
check "20000-byte file: status and size" "200 20000" "$code"
cmp -s "$WORK/got" "$WORK/kick/f20000" && ok "20000-byte file arrives whole" || bad "20000-byte file differs"

range_case() { # RANGE STATUS CONTENT-RANGE FIRST COUNT
  curl -s -D "$WORK/h" -o "$WORK/got" -H "Range: bytes=$1" "$(URL /kickstart/f1000)"
  local status crange
  status=$(awk 'NR==1 {print $2}' "$WORK/h")
  crange=$(tr -d '\r' <"$WORK/h" | awk -F': ' '/^Content-Range/ {print $2}')
  check "range $1: status" "$2" "$status"
  check "range $1: content range" "$3" "$crange"
  if [ "$2" = 206 ]; then
    tail -c +$(($4 + 1)) "$WORK/kick/f1000" | head -c "$5" >"$WORK/want"
    cmp -s "$WORK/got" "$WORK/want" && ok "range $1: bytes" || bad "range $1: bytes differ"
  fi
}
range_case 0-99 206 "bytes 0-99/1000" 0 100
range_case 900-5000 206 "bytes 900-999/1000" 900 100
range_case 100- 206 "bytes 100-999/1000" 100 900
range_case 1001- 404 "" 0 0
range_case 1000- 404 "" 0 0
range_case 500-100 404 "" 0 0
range_case 99999999999999999999999- 404 "" 0 0
code=$(curl -s -o "$WORK/got" -w '%{http_code} %{size_download}' -H "Range: bytes=-100" "$(URL /kickstart/f1000)")
check "suffix range means the whole file" "200 1000" "$code"

curl -s -I "$(URL /kickstart/f1000)" | tr -d '\r' >"$WORK/h"
check "HEAD status line (blank before the line end)" "HTTP/1.1 200 OK " "$(head -1 "$WORK/h")"
check_grep "HEAD carries the full length" '^Content-Length: 1000$' "$WORK/h"
check "HEAD sends no body" "0" "$(curl -s -I -o /dev/null -w '%{size_download}' "$(URL /kickstart/f1000)")"

# --- files and listings out of the ISO image ------------------------------------------------
curl -s -o "$WORK/got" "$(URL /ISO1/boot/vmlinuz)"
cmp -s "$WORK/got" "$WORK/isosrc/boot/vmlinuz" && ok "file inside the image" || bad "file inside the image differs"
curl -s --path-as-is -o "$WORK/got" "$(URL //ISO1/boot/vmlinuz)"
cmp -s "$WORK/got" "$WORK/isosrc/boot/vmlinuz" && ok "//ISO1/... is /ISO1/..." || bad "//ISO1 path differs"
curl -s -o "$WORK/got" -H "Range: bytes=100-299" "$(URL /ISO1/boot/vmlinuz)"
tail -c +101 "$WORK/isosrc/boot/vmlinuz" | head -c 200 >"$WORK/want"
cmp -s "$WORK/got" "$WORK/want" && ok "range inside the image" || bad "range inside the image differs"

curl -s "$(URL /ISO1/boot)" >"$WORK/list"
check_grep "ISO listing: ../ leads to /ISO1" '<li><a href="/ISO1">\.\./</a>' "$WORK/list"
check_grep "ISO listing: subdirectory" '<li><a href="/ISO1/boot/grub">grub/</a>' "$WORK/list"
check_grep "ISO listing: file" '<li><a href="/ISO1/boot/vmlinuz">vmlinuz</a>' "$WORK/list"
curl -s "$(URL /ISO1)" >"$WORK/list1"
curl -s "$(URL /iso1/)" >"$WORK/list2"
check_grep "ISO top listing: ../ leads to /" '<li><a href="/">\.\./</a>' "$WORK/list1"
check "/iso1/ lists what /ISO1 lists" "$(grep '<li>' "$WORK/list1" | sed 's#/iso1#/ISO1#I')" \
  "$(grep '<li>' "$WORK/list2" | sed 's#/iso1#/ISO1#I')"
curl -s "$(URL /kickstart/)" >"$WORK/list"
check_grep "directory listing: file" '<li><a href="/kickstart/f1000">f1000</a>' "$WORK/list"
check_grep "directory listing: subdirectory" '<li><a href="/kickstart/sub">sub/</a>' "$WORK/list"
check_grep "directory listing: ../" '<li><a href="/">\.\./</a>' "$WORK/list"
check "directory listing: only the one ../ entry, no ./" "1 0" \
  "$(grep -c '>\.\./</a>' "$WORK/list") $(grep -c '>\./</a>' "$WORK/list")"

curl -s "$(URL /kickstart/sub)" >"$WORK/list1"
curl -s -I "$(URL /kickstart/sub)" | tr -d '\r' >"$WORK/h"
check_grep "HEAD of a directory: the listing's length" "^Content-Length: $(stat -c %s "$WORK/list1")\$" "$WORK/h"
curl -s -H "Range: bytes=0-9" "$(URL /kickstart/sub)" >"$WORK/list2"
cmp -s "$WORK/list1" "$WORK/list2" && ok "GET of a directory with a range: the whole listing" ||
  bad "directory with a range differs"

# --- links and hostile names in a directory root -------------------------------------------------
# A link out of the root is neither served nor listed; links that stay inside keep working.
status_of() { curl -s --path-as-is -o /dev/null -w '%{http_code}' "$@"; }
link_case() { # NAME URL STATUS
  check "$1" "$3" "$(status_of "$(URL "$2")")"
}
link_case "file through a link out of the root" /kickstart/outlink/secret 404
link_case "listing through a link out of the root" /kickstart/outlink/ 404
link_case "a file link out of the root" /kickstart/secretlink 404
link_case "file through a link inside the root" /kickstart/inlink/s.cfg 200
link_case "a file link inside the root" /kickstart/alink 200
curl -s "$(URL /kickstart/)" >"$WORK/list"
check "the listing leaves out links out of the root, keeps links inside" "0 0 1 1" \
  "$(grep -c outlink "$WORK/list") $(grep -c secretlink "$WORK/list") $(grep -c '"/kickstart/inlink"' "$WORK/list") $(grep -c '"/kickstart/alink"' "$WORK/list")"
for listing in /kickstart/hostile/ /HOSTILE/; do
  curl -s "$(URL "$listing")" >"$WORK/list"
  check "listing $listing: no markup from names" "0" "$(grep -ac '<img' "$WORK/list")"
  check_grep "listing $listing: name escaped in the text" '&lt;img src=x onerror=alert\(1\)&gt;\.txt</a>' "$WORK/list"
  check_grep "listing $listing: name percent-encoded in the link" 'href="[^"]*/%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E\.txt"' "$WORK/list"
done
code=$(curl -s -o /dev/null -w '%{http_code}' "$(URL '/kickstart/hostile/%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E.txt')")
check "the encoded link fetches the file" "200" "$code"

# A file that runs past the image's end is not found, whole or in part; its neighbour is.
for req in "/CORRUPT/big.cfg" "-r 0-9 /CORRUPT/big.cfg" "-I /CORRUPT/big.cfg"; do
  read -r -a args <<<"${req% *}"
  [ "${req% *}" = "$req" ] && args=()
  code=$(curl -s -o /dev/null -w '%{http_code}' "${args[@]}" "$(URL "${req##* }")")
  check "corrupt image: $req" "404" "$code"
done
check "corrupt image: a sound file beside it" "fine" "$(curl -s "$(URL /CORRUPT/ok.cfg)")"

# --- redirect rules ---------------------------------------------------------------------------
curl -s -o "$WORK/got" "$(URL /kickstart/auto/ks.cfg)"
cmp -s "$WORK/got" "$WORK/virtualiso/extfile/ks-prepared.cfg" && ok "redirect rule serves the prepared file" ||
  bad "redirect rule"
curl -s -o "$WORK/got" "$(URL /kickstart/f1000)"
cmp -s "$WORK/got" "$WORK/kick/f1000" && ok "rule with a missing target falls back to the real file" ||
  bad "missing redirect target"

# --- several requests on one connection -----------------------------------------------------
raw 'GET /kickstart/a.txt HTTP/1.1\r\nHost: x\r\n\r\nGET /kickstart/b.txt HTTP/1.1\r\nHost: x\r\n\r\n' 2 >"$WORK/two"
check "two GETs in one packet: both answered, in order" "AAAA BBBB" \
  "$(grep -aE '^(AAAA|BBBB)' "$WORK/two" | tr '\n' ' ' | sed 's/ $//')"
# Heads: only a head's first line is a request line; pipelined requests answer in order.
head_case() { # NAME TEXT EXPECTED (status lines and bodies, joined by |)
  raw "$2" 2 | tr -d '\r' | grep -aE '^(HTTP/|AAAA|BBBB)' | cut -c1-15 | paste -sd '|' >"$WORK/r"
  check "$1" "$3" "$(cat "$WORK/r")"
}
head_case "a request-like header is not a second request" \
  'GET /kickstart/a.txt HTTP/1.1\r\nX: GET /kickstart/b.txt HTTP/1.1\r\n\r\n' "HTTP/1.1 200 OK|AAAA"
head_case "pipelined HEAD then GET: answered in that order" \
  'HEAD /kickstart/b.txt HTTP/1.1\r\n\r\nGET /kickstart/a.txt HTTP/1.1\r\n\r\n' "HTTP/1.1 200 OK|HTTP/1.1 200 OK|AAAA"
head_case "a header saying Range is no range" \
  'GET /kickstart/a.txt HTTP/1.1\r\nX-Note: Range: bytes=1-2\r\n\r\n' "HTTP/1.1 200 OK|AAAA"
raw 'GET /kickstart/a.txt HTTP/1.0\r\n\r\n' 3 >"$WORK/c"
check "HTTP/1.0 without keep-alive is closed after its reply" "0" "$?"
raw 'GET /kickstart/a.txt HTTP/1.0\r\nConnection: keep-alive\r\n\r\n' 1.5 >/dev/null
check "HTTP/1.0 with keep-alive stays open" "124" "$?"
if command -v ab >/dev/null; then
  timeout 60 ab -q -n 100 -c 10 "$(URL /kickstart/f1000)" >"$WORK/ab" 2>&1
  check "ab without keep-alive: 100 complete, none failed" "100 0" \
    "$(awk '/^Complete requests/ {c=$3} /^Failed requests/ {f=$3} END {print c, f}' "$WORK/ab")"
else
  bad "ab is not installed (apache2-utils)"
fi
curl -sv -o /dev/null -o /dev/null "$(URL /kickstart/a.txt)" "$(URL /kickstart/b.txt)" 2>"$WORK/v"
check_grep "keep-alive: curl reuses the connection" 'Re-using existing connection' "$WORK/v"
raw 'GET /kickstart/a.txt HTTP/1.1\r\nConnection: close\r\n\r\n' 2 >"$WORK/c"
check "Connection: close ends the connection after the reply" "0" "$?"
check_grep "Connection: close is echoed" '^Connection: Close' "$WORK/c"
raw 'GET /kickstart/a.txt HTTP/1.1\r\n\r\n' 1.5 >/dev/null
check "keep-alive connection stays open" "124" "$?"
raw 'GET /kickstart/a.txt HTTP/1.1\r\n\r\n' 10 >/dev/null
check "idle keep-alive connection is closed by the server" "0" "$?"
check_grep "idle close is logged" 'Time Out, Now close socket' "$WORK/main.log"
# A client that asks for a large file and then reads nothing is dropped after the idle time
# (the sparse file is larger than what the loopback socket buffers hold).
truncate -s 256M "$WORK/kick/huge"
exec 4<>"/dev/tcp/127.0.0.1/$PORT"
printf 'GET /kickstart/huge HTTP/1.1\r\n\r\n' >&4
for _ in $(seq 100); do grep -q 'Send time out' "$WORK/main.log" && break; sleep 0.1; done
exec 4<&-
check_grep "a client that stops reading is dropped" 'Send time out, Now close socket' "$WORK/main.log"

# --- request events -------------------------------------------------------------------------
events_for() { grep -a " /kickstart/$1|" "$WORK/events" | awk '{print $1}' | sort | uniq -c | awk '{printf "%s:%s ", $2, $1}'; }
: >"$WORK/events"
curl -s -o /dev/null "$(URL /kickstart/big6m)"
curl -s -o /dev/null "$(URL /kickstart/mid4m)"
check "6 MiB download: start, one event per 8 KiB piece, end" "1:1 2:768 3:1 " "$(events_for big6m)"
check "4 MiB download: start and end only" "1:1 3:1 " "$(events_for mid4m)"
check "4 MiB download: the end carries its length, nothing remaining (the byte counters read it)" \
  "3 200 4194304 0" "$(grep -a '^3 ' "$WORK/events" | grep -a mid4m | awk '{print $1, $2, $3, $4}')"
check "last piece event: total and nothing remaining" "2 0 6291456 0" \
  "$(grep -a '^2 ' "$WORK/events" | grep -a big6m | tail -1 | awk '{print $1, $2, $3, $4}')"
: >"$WORK/events"
code=$(curl -s -o /dev/null -w '%{http_code}' "$(URL '/kickstart/FERRIT/Install?step=1')")
check "report URL without a file: 404" "404" "$code"
check "report URL: only an end event, with the decoded request line" \
  "3 404 0 0 /kickstart/FERRIT/Install|GET /kickstart/FERRIT/Install?step=1" "$(cat "$WORK/events")"
: >"$WORK/events"
raw 'GET /kickstart/virturl_report_client_info?vendor=Dell Inc.&pdt_serial=AB 12&pdt_name=PowerEdge R740&param_end HTTP/1.1\r\nConnection: close\r\n\r\n' 2 | head -1 | tr -d '\r' >"$WORK/r"
check "report with unescaped SMBIOS strings: answered" "HTTP/1.1 404 DOCUMENT NOT FOUND " "$(cat "$WORK/r")"
check "report with unescaped SMBIOS strings: the end event carries them" \
  "3 404 0 0 /kickstart/virturl_report_client_info|GET /kickstart/virturl_report_client_info?vendor=Dell Inc.&pdt_serial=AB 12&pdt_name=PowerEdge R740&param_end" \
  "$(cat "$WORK/events")"

# --- refused and hostile requests -----------------------------------------------------------
check "/ISO1/../x is refused" "405" "$(status_of "$(URL /ISO1/../x)")"
check "/kickstart/%2e%2e/... is refused after decoding" "405" "$(status_of "$(URL /kickstart/%2e%2e/kick/f1000)")"
check "missing file" "404" "$(status_of "$(URL /kickstart/missing.cfg)")"
check "POST is not served" "404" "$(status_of -X POST "$(URL /kickstart/f1000)")"
check "bad percent escape" "404" "$(status_of "$(URL /kickstart/f%zz)")"
raw 'GET /../../etc/passwd HTTP/1.1\r\nConnection: close\r\n\r\n' 2 | head -1 | tr -d '\r' >"$WORK/r"
check "raw /../ request" "HTTP/1.1 405 Method Not Allowed " "$(cat "$WORK/r")"
raw 'BREW /pot HTTP/1.1\r\nConnection: close\r\n\r\n' 2 >"$WORK/r"
check "unknown method: the exact 404 head and body" \
  "HTTP/1.1 404 DOCUMENT NOT FOUND |Content-Type: text/html|Connection: Close|Content-Length: 5||ERROR" \
  "$(tr -d '\r' <"$WORK/r" | grep -v '^Date: ' | paste -sd '|')"
# Closed (end of file or reset, not the time-out) with nothing sent back.
closed_silently() { [ "$1" != 124 ] && [ "$2" = 0 ] && echo closed || echo "rc $1, $2 bytes"; }
raw "GET /$(head -c 5000 /dev/zero | tr '\0' a) HTTP/1.1\r\n\r\n" 3 >"$WORK/r" 2>/dev/null
check "head over 4095 bytes: closed without a reply" closed "$(closed_silently $? "$(wc -c <"$WORK/r")")"
raw 'GET /kickstart/a.txt\0 HTTP/1.1\r\n\r\n' 3 >"$WORK/r" 2>/dev/null
check "NUL byte in a head: closed without a reply" closed "$(closed_silently $? "$(wc -c <"$WORK/r")")"
# Random heads: request lines with random paths, escapes and ranges, and plain noise.
for i in $(seq 60); do
  junk=$(head -c $((RANDOM % 300 + 1)) /dev/urandom | tr -d '\0\n\r' | tr -c '[:print:]' '%')
  case $((i % 3)) in
    0) req="GET /kickstart/$junk HTTP/1.1\r\nRange: bytes=$RANDOM$RANDOM-$RANDOM\r\n\r\n" ;;
    1) req="HEAD /ISO1/$junk?mac=$junk HTTP/1.1\r\nConnection: close\r\n\r\n" ;;
    2) req="$junk\r\n\r\n" ;;
  esac
  raw "$req" 0.3 >/dev/null 2>&1
done
code=$(curl -s -o "$WORK/got" -w '%{http_code}' "$(URL /kickstart/f1000)")
check "the service still answers after all that" "200" "$code"

stop_server
check_grep "stop is logged" 'QVHTTP Server 1.00.00 is stopped' "$WORK/main.log"

# --- the connection limit ---------------------------------------------------------------------
start_server small --maxconn 1 --root "kickstart=$WORK/kick"
exec 5<>"/dev/tcp/127.0.0.1/$PORT"
printf 'GET /kickstart/a.txt HTTP/1.1\r\n\r\n' >&5
timeout 5 head -c 1 <&5 >/dev/null # answered; the connection now idles
code=$(curl -s -o /dev/null -w '%{http_code}' "$(URL /kickstart/b.txt)")
check "at the limit the idle keep-alive connection makes room" "200" "$code"
timeout 5 cat <&5 >/dev/null
check "the idle connection was closed for it" "0" "$?"
exec 5<&-
exec 5<>"/dev/tcp/127.0.0.1/$PORT"
printf 'GET /kickstart/huge HTTP/1.1\r\n\r\n' >&5 # a reply in progress, never read
timeout 5 head -c 1 <&5 >/dev/null
code=$(curl -s -o /dev/null -w '%{http_code}' "$(URL /kickstart/b.txt)")
check "a connection with a request in progress is never closed for a newcomer" "000" "$code"
exec 5<&-
stop_server

# Idle and dribbling clients cannot lock others out (the limit is the default, 100).
start_server crowd --root "kickstart=$WORK/kick"
check "600 idle and 100 dribbling connections: a normal GET is answered" "200" \
  "$(timeout 120 python3 "$(dirname "$0")/http_crowd.py" "$PORT" 600 100 /kickstart/a.txt)"
# A head that trickles in has a deadline of its own, whatever the idle time.
start_server slowhead --idle 60 --root "kickstart=$WORK/kick"
exec 6<>"/dev/tcp/127.0.0.1/$PORT"
closed=no
for _ in $(seq 30); do
  (printf 'X' >&6) 2>/dev/null || { closed=yes; break; }
  sleep 1
done
exec 6<&-
check "a head dribbled one byte a second is cut off before the idle time" "yes" "$closed"
finish
