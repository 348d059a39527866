# Sourced after tests/support/netns.sh: a server namespace and a client namespace joined through
# tests/support/lossy_link.py, which drops, delays and reorders the frames between them.
# Everything is removed with the other namespaces and processes when the sourcing script exits.
#
#   kiv_lossy_net VAR TAG SERVER_IP/LEN CLIENT_IP/LEN STATS LINK-ARGS...
#     sets VAR_s and VAR_c to the server and client namespaces (interfaces "ls" and "lc") and
#     VAR_link to the link's pid; LINK-ARGS go to lossy_link.py (--loss, --delay, --reorder).
#   kiv_lossy_stats VAR               ends VAR's link by its pid; its counts are then in STATS

kiv_lossy_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

kiv_lossy_net() {
  local var=$1 tag=$2 sip=$3 cip=$4 stats=$5 kiv_lossy_s kiv_lossy_c out rc
  shift 5
  kiv_netns_new kiv_lossy_s "$tag-s" || return 1
  kiv_netns_new kiv_lossy_c "$tag-c" || return 1
  out=$(mktemp)
  # The link runs in the server's namespace, where it creates both interfaces.
  kiv_bg "$kiv_lossy_s" python3 "$kiv_lossy_here/lossy_link.py" ls lc --stats "$stats" "$@" > "$out"
  printf -v "${var}_link" '%s' "$KIV_LAST_PID"
  printf -v "${var}_s" '%s' "$kiv_lossy_s"
  printf -v "${var}_c" '%s' "$kiv_lossy_c"
  kiv_wait_for 10 grep -q READY "$out"
  rc=$?
  rm -f "$out"
  [ "$rc" -eq 0 ] || return 1
  ip -n "$kiv_lossy_s" link set lc netns "$kiv_lossy_c" || return 1
  ip -n "$kiv_lossy_s" addr add "$sip" dev ls
  ip -n "$kiv_lossy_c" addr add "$cip" dev lc
  ip -n "$kiv_lossy_s" link set ls up
  ip -n "$kiv_lossy_c" link set lc up
}

kiv_lossy_stats() {
  local pid_var=${1}_link
  kill "${!pid_var}" 2>/dev/null
  wait "${!pid_var}" 2>/dev/null
  return 0
}
