#!/usr/bin/env bash
# The cross-built agent and downloader: both architectures are static PE files; the 64-bit builds
# run under Wine (32-bit Wine is not installable here): FERRIT_64.exe reads its parameters, logs
# and stops cleanly where WinPE's wpeutil.dll is missing; wget_64.exe fetches from a loopback peer.
set -euo pipefail
src=${KIV_SOURCE_DIR:?}/agent
bin=${KIV_BINARY_DIR:?}/agent
for exe in FERRIT_32 FERRIT_64 wget_32 wget_64; do
  if [ ! -f "$bin/$exe.exe" ]; then
    echo "SKIP: $bin/$exe.exe was not built (mingw-w64 missing: install tools/packages/agent.list)"
    exit 77
  fi
done

# --- PE format and no DLL beside the programs ----------------------------------------------
check_pe() {  # check_pe FILE FORMAT OBJDUMP
  "$3" -f "$1" | grep -q "file format $2" || { echo "FAIL: $1 is not $2"; "$3" -f "$1"; exit 1; }
  local dlls
  dlls=$("$3" -p "$1" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  for dll in $dlls; do
    case $dll in
      kernel32.dll|user32.dll|gdi32.dll|advapi32.dll|shell32.dll|setupapi.dll|iphlpapi.dll|mpr.dll|ws2_32.dll|\
      wininet.dll|msvcrt.dll|api-ms-win-*) ;;
      *) echo "FAIL: $1 needs $dll, which WinPE does not have"; exit 1 ;;
    esac
  done
  echo "ok: $1 ($2; imports: $(echo $dlls))"
}
for exe in FERRIT wget; do
  check_pe "$bin/${exe}_32.exe" pei-i386 i686-w64-mingw32-objdump
  check_pe "$bin/${exe}_64.exe" pei-x86-64 x86_64-w64-mingw32-objdump
done

# --- Wine ------------------------------------------------------------------------------------
wine=$(command -v wine64 || true)
[ -n "$wine" ] || [ ! -x /usr/lib/wine/wine64 ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || [ ! -x /usr/lib/wine/wineserver ] || wineserver=/usr/lib/wine/wineserver
if [ -z "$wine" ] || [ -z "$wineserver" ] || ! command -v xvfb-run >/dev/null; then
  echo "SKIP: the PE checks passed, but wine64 and xvfb-run are needed to run the programs (tools/packages/agent.list)"
  exit 77
fi
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
peer=''
agent=''
cleanup() {
  [ -z "$agent" ] || kill "$agent" 2>/dev/null || true
  [ -z "$peer" ] || kill "$peer" 2>/dev/null || true
  timeout 30 "$wineserver" -k 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
timeout 180 "$wine" wineboot --init >/dev/null 2>&1 || true

# wget_64.exe against a loopback peer
mkdir -p "$work/www" "$work/run"
head -c 300000 /dev/urandom > "$work/www/files_data.bin"
coproc PEER { exec timeout 200 python3 "$src/tests/http_peer.py" "$work/www" "$work/requests.log"; }
peer=$PEER_PID
read -r port <&"${PEER[0]}"
cd "$work/run"
timeout 120 "$wine" "$bin/wget_64.exe" -q "http://127.0.0.1:$port/files/data.bin" -O got.bin
cmp "$work/www/files_data.bin" got.bin || { echo "FAIL: wget_64.exe saved different bytes"; exit 1; }
echo "ok: wget_64.exe downloaded $(stat -c %s got.bin) bytes"
if timeout 120 "$wine" "$bin/wget_64.exe" "http://127.0.0.1:$port/missing" -O missing.bin 2>/dev/null; then
  echo "FAIL: wget_64.exe reported success for a 404"; exit 1
fi
[ ! -e missing.bin ] && [ ! -e missing.bin.part ] || { echo "FAIL: a failed download left a file"; exit 1; }
grep -qx "GET /files/data.bin HTTP/1.1" "$work/requests.log" || { echo "FAIL: request line"; cat "$work/requests.log"; exit 1; }
echo "ok: wget_64.exe fails on 404 and leaves no file"

# FERRIT_64.exe: parameters read, the log written, a clean stop without wpeutil.dll. The Wine
# session of the console runs above has no display: end it, so the agent's window gets Xvfb's.
timeout 30 "$wineserver" -k 2>/dev/null || true
timeout 30 "$wineserver" -w 2>/dev/null || true
cat > Ferrit.json <<'JSON'
{
   "DOMAIN" : ".",
   "HTTP_PORT" : "8810",
   "IMAGE_INDEX" : "2",
   "KIV_PXE_SHARE_PATH" : "\\127.0.0.1\D$\win10",
   "PASSWORD" : "636261",
   "SERVER_IP" : "127.0.0.1",
   "USERNAME" : "admin"
}
JSON
timeout 150 xvfb-run -a "$wine" "$bin/FERRIT_64.exe" >/dev/null 2>&1 &
agent=$!
for _ in $(seq 120); do
  grep -q "Step routine ended" kiv_ferrit.log 2>/dev/null && break
  sleep 1
done
for line in "FERRIT started" "g_szVendorName=" "KIV_PXE_SHARE_PATH:\\\\127.0.0.1\\D\$\\win10" "IMAGE_INDEX:(2)2" \
            "SERVER_IP:2130706433" "HTTP_PORT:8810" "LoadLibrary wpeutil.dll return NULL" "KIV_WPEUTIL_Init Failed" \
            "Step routine ended: failed"; do
  grep -qF "$line" kiv_ferrit.log || { echo "FAIL: no '$line' in kiv_ferrit.log"; cat kiv_ferrit.log 2>/dev/null; exit 1; }
done
! grep -q "PASSWORD:abc" kiv_ferrit.log || { echo "FAIL: the password was logged"; exit 1; }
grep -qE '^% [0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}  FERRIT started ' kiv_ferrit.log ||
  { echo "FAIL: log line layout"; head -2 kiv_ferrit.log; exit 1; }
kill -0 "$agent" 2>/dev/null || { echo "FAIL: FERRIT_64.exe exited instead of keeping its window"; exit 1; }
echo "ok: FERRIT_64.exe read Ferrit.json, logged and stopped at the missing wpeutil.dll"
