#!/usr/bin/env bash
# REST with 1024 descriptors after 1,100 idle connections: the listener outlives the shortage
# and a normal request is answered while the idle ones are still open, and after they close.
. "$(dirname "$0")/http_lib.sh"
need python3
mkdir -p "$WORK/root"
# Soft limit only: the client below raises its own back up to the hard limit.
ulimit -Sn 1024
start_server rest --rest --root ISO1="$WORK/root"
REST=$(awk '/^REST/ {print $2}' "$WORK/rest.port")
[ -n "$REST" ] || { echo "no REST port"; exit 1; }
python3 - "$REST" <<'PY' >"$WORK/client.out" 2>&1
import resource, socket, sys, time
port = int(sys.argv[1])
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
idle = []
t0 = time.time()
for _ in range(1100):
    if time.time() - t0 > 30:  # a listener that died leaves connects hanging: stay bounded
        break
    try:
        idle.append(socket.create_connection(("127.0.0.1", port), timeout=2))
    except OSError:
        pass
print("idle", len(idle))
def ask():
    data = b""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
            s.sendall(b"GET /rest/v1/pim_get_sysinfo HTTP/1.1\r\n\r\n")
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
    except OSError:  # closed at once while the waiting bound is reached
        pass
    return b"orv_version" in data
# Connections beyond the waiting bound are closed at once; the waiting ones run out 5 s after
# their accept, so a client that tries again gets in within seconds.
start = time.time()
answered = False
while not answered and time.time() - start < 30:
    answered = ask()
    if not answered:
        time.sleep(0.5)
print("while-idle", answered, round(time.time() - start, 1))
for s in idle:
    s.close()
time.sleep(0.5)
print("after", ask())
PY
cat "$WORK/client.out"
check "1,100 idle connections opened" "idle 1100" "$(grep '^idle' "$WORK/client.out")"
check "answered while 1,100 idle connections are open" "True" \
  "$(awk '/^while-idle/ {print $2}' "$WORK/client.out")"
check "answered after they closed" "after True" "$(grep '^after' "$WORK/client.out")"
kill -0 "${SERVER_PIDS[-1]}" && ok "server alive" || bad "server died"
[ "$FAILS" -eq 0 ]
