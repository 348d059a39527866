# Sourced by integration tests that need a private network. Every namespace and process made
# through these functions is removed when the sourcing script exits, also on failure or signal.
#
#   kiv_require_root                     exit 77 (skipped) with a reason when not root / no netns
#   kiv_netns_new VAR tag                a fresh namespace kiv-<tag>-<pid>, its name put in VAR
#   kiv_veth_pair nsA ifA ipA/len nsB ifB ipB/len
#   kiv_bg ns command ...                start a command inside ns in the background; its pid is
#                                        left in KIV_LAST_PID
# (Call these directly, never inside $(...): a subshell would lose track of what to clean up.)
#   kiv_wait_for seconds command ...     retry a command until it succeeds or time runs out

KIV_NETNS_LIST=()
KIV_PID_LIST=()

kiv_cleanup() {
  local pid ns
  for pid in "${KIV_PID_LIST[@]}"; do kill "$pid" 2>/dev/null; done
  sleep 0.2
  for pid in "${KIV_PID_LIST[@]}"; do kill -9 "$pid" 2>/dev/null; done
  for ns in "${KIV_NETNS_LIST[@]}"; do
    # Anything still running inside the namespace was started by this test.
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
    ip netns delete "$ns" 2>/dev/null
  done
}
trap kiv_cleanup EXIT
trap 'exit 130' INT TERM

kiv_require_root() {
  if [ "$(id -u)" -ne 0 ]; then echo "SKIP: needs root for network namespaces"; exit 77; fi
  if ! ip netns add "kiv-probe-$$" 2>/dev/null; then echo "SKIP: cannot create network namespaces"; exit 77; fi
  ip netns delete "kiv-probe-$$"
}

kiv_netns_new() {
  # The local's name must not match a caller's variable, or printf -v would set the local.
  local kiv_ns_name="kiv-$2-$$"
  ip netns add "$kiv_ns_name" || return 1
  KIV_NETNS_LIST+=("$kiv_ns_name")
  ip -n "$kiv_ns_name" link set lo up
  printf -v "$1" '%s' "$kiv_ns_name"
}

kiv_veth_pair() {
  local nsa=$1 ifa=$2 ipa=$3 nsb=$4 ifb=$5 ipb=$6
  ip link add "$ifa" netns "$nsa" type veth peer name "$ifb" netns "$nsb" || return 1
  [ "$ipa" = "-" ] || ip -n "$nsa" addr add "$ipa" dev "$ifa"
  [ "$ipb" = "-" ] || ip -n "$nsb" addr add "$ipb" dev "$ifb"
  ip -n "$nsa" link set "$ifa" up
  ip -n "$nsb" link set "$ifb" up
}

kiv_bg() {
  local ns=$1; shift
  ip netns exec "$ns" "$@" &
  KIV_LAST_PID=$!
  KIV_PID_LIST+=("$KIV_LAST_PID")
}

kiv_wait_for() {
  local deadline=$(( $(date +%s) + $1 )); shift
  until "$@"; do
    [ "$(date +%s)" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
