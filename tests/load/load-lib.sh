# Sourced by the load tests: root and the tools they need (else a skip with the reason), the swarm
# helpers, and a private work directory removed with the test's namespaces at exit.
#   load_test_begin TAG [TOOL ...]   sets work=/tmp/kiv-TAG-<pid>-XXXXXX
. "$KIV_SOURCE_DIR/tests/support/netns.sh"
load_test_begin() {
  local tag=$1 tool; shift
  kiv_require_root
  for tool in "$@" python3 xorriso busybox; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  . "$KIV_SOURCE_DIR/tools/swarm/swarm-lib.sh"
  work=$(mktemp -d "/tmp/kiv-$tag-$$-XXXXXX")
  chmod 755 "$work"
  trap 'kiv_cleanup; [ -n "${KIV_KEEP:-}" ] || rm -rf "$work"' EXIT
}
