# Shared by the HTTP shell tests: a temporary data directory, the test server on a free loopback
# port, checks that count failures, and clean-up of everything the test started (KEEP_WORK=1
# keeps the data directory and the server logs for a look afterwards).
set -uo pipefail

HTTP_SERVER="${KIV_BINARY_DIR:?}/server/qvHTTP/qvhttp_testserver"
WORK=$(mktemp -d "/tmp/kiv-http-$$-XXXXXX")
SERVER_PIDS=()
FAILS=0

cleanup() {
  for pid in "${SERVER_PIDS[@]}"; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  [ -n "${KEEP_WORK:-}" ] && echo "kept $WORK" || rm -rf "$WORK"
}
trap cleanup EXIT

skip() { echo "SKIP: $*"; exit 77; }

# Every transfer of the tests is bounded.
curl() { command curl --max-time 60 "$@"; }

need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (tools/setup.sh installs it)"
  done
}

ok() { echo "ok   - $1"; }
bad() { echo "FAIL - $1"; FAILS=$((FAILS + 1)); }

# check NAME EXPECTED ACTUAL
check() {
  if [ "$2" == "$3" ]; then ok "$1"; else bad "$1: expected [$2] got [$3]"; fi
}

# check_grep NAME PATTERN FILE: the file holds a line matching the extended regex.
check_grep() {
  if grep -Eq -- "$2" "$3"; then ok "$1"; else bad "$1: no [$2] in $3"; fi
}

# start_server NAME ARGS...: runs the test server in $WORK (its data directory) and sets PORT.
# The server's stderr (its log) goes to $WORK/NAME.log.
start_server() {
  local name=$1
  shift
  (cd "$WORK" && exec "$HTTP_SERVER" --log "$@" >"$WORK/$name.port" 2>"$WORK/$name.log") &
  SERVER_PIDS+=($!)
  for _ in $(seq 100); do
    PORT=$(awk '/^PORT/ {print $2}' "$WORK/$name.port" 2>/dev/null)
    [ -n "$PORT" ] && return 0
    kill -0 "${SERVER_PIDS[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "server $name did not start:"
  cat "$WORK/$name.log"
  exit 1
}

stop_server() {
  local pid=${SERVER_PIDS[-1]}
  kill "$pid" && wait "$pid"
  unset 'SERVER_PIDS[-1]'
}

URL() { echo "http://127.0.0.1:$PORT$1"; }

# raw TEXT SECONDS: sends TEXT (backslash escapes as in printf %b) on a fresh connection and prints what comes back
# until the server closes it or SECONDS pass. Returns 124 when the connection was still open.
raw() {
  local text=$1 secs=$2
  exec 3<>"/dev/tcp/127.0.0.1/$PORT"
  # A subshell, so a server that closes early ends only the writer (SIGPIPE), not the test.
  (printf '%b' "$text" >&3) 2>/dev/null
  timeout "$secs" cat <&3
  local rc=$?
  exec 3<&-
  return $rc
}

finish() {
  if [ "$FAILS" -ne 0 ]; then
    echo "$FAILS check(s) failed; server logs:"
    tail -n 40 "$WORK"/*.log
    exit 1
  fi
  echo "all checks passed"
}
