#!/usr/bin/env bash
# Builds the libFuzzer targets of bench/fuzz/ with clang (ASan + UBSan) and runs each for SECONDS
# (default 60) on its corpus bench/fuzz/corpus/<target>, printing executions and findings.
# KIV_FUZZ_RUNS=N runs each target for N executions instead of a time.
# Usage: bench/fuzz.sh [SECONDS] [TARGET...]
#   targets: dhcp tftp settings profile template agent_params pxe_option firmware; default all
# A crash stops with its input saved as bench/fuzz/corpus/<target>/crash-*: fix it and keep the
# input there, so that every later run (and the load_fuzz test) replays it. KIV_FUZZ_READONLY=1
# (the test) leaves the corpus in the tree as it is and keeps crash inputs in a temporary folder.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(dhcp tftp settings profile template agent_params pxe_option firmware)
command -v clang++ >/dev/null || { echo "fuzz: clang++ is needed (tools/packages)"; exit 77; }
work=${TMPDIR:-/tmp}/kiv_fuzz_$$
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$top/server/common" $(pkg-config --cflags glib-2.0 jsoncpp))
libs=($(pkg-config --libs glib-2.0 jsoncpp))
common=("$top"/server/common/qv_file.cpp "$top"/server/common/qv_log_sink.cpp
        "$top"/server/common/qv_roots.cpp "$top"/server/common/qv_text.cpp)
sources() {
  case $1 in
    dhcp) echo -I"$top/server/qvDHCP" "$top"/server/qvDHCP/qvdhcp.cpp "$top"/server/qvDHCP/qvdhcp_config.cpp \
            "$top"/server/qvDHCP/qvdhcp_leasedb.cpp "$top"/server/qvDHCP/qvdhcp_rfc.cpp \
            "$top"/server/qvDHCP/qvdhcp_session.cpp "$top"/server/qvDHCP/qvdhcp_stats.cpp ;;
    tftp) echo -I"$top/server/qvTFTP" "$top"/server/qvTFTP/qvtftp_rfc.cpp "$top"/server/qvTFTP/qvtftp_util.cpp ;;
    settings) echo -I"$top/server/base" -I"$top/server/platform" "$top"/server/base/settings.cpp \
                "$top"/server/base/log.cpp "$top"/server/base/data_dir.cpp "$top"/server/base/msg_table.cpp ;;
    profile) echo -I"$top/plugins/common" "$top"/plugins/common/plugin_profile.cpp \
               "$top"/plugins/common/plugin_hostcalls.cpp "$top"/plugins/common/plugin_text.cpp ;;
    template) echo -I"$top/server/boot" -I"$top/plugins/common" "$top"/server/boot/template_expand.cpp ;;
    agent_params|pxe_option|firmware)
      echo -I"$top/agent" "$top"/agent/core/agent_log.cpp "$top"/agent/core/text_util.cpp
      case $1 in
        agent_params) echo "$top"/agent/core/agent_params.cpp ;;
        pxe_option) echo "$top"/agent/core/pxe_option.cpp ;;
        firmware) echo "$top"/agent/core/firmware_tables.cpp ;;
      esac ;;
  esac
}
status=0
for t in "${targets[@]}"; do
  corpus=$top/bench/fuzz/corpus/$t
  artifacts=$corpus/
  [ -z "${KIV_FUZZ_READONLY:-}" ] || artifacts=$work/
  mkdir -p "$corpus" "$work/$t-new"
  # shellcheck disable=SC2046
  clang++ "${flags[@]}" "$top/bench/fuzz/${t}_fuzz.cpp" $(sources "$t") "${common[@]}" "${libs[@]}" \
    -o "$work/$t" 2> "$work/$t.build" || { echo "fuzz: $t does not build"; tail -n 20 "$work/$t.build"; status=1; continue; }
  limit=(-max_total_time="$seconds")
  [ -z "${KIV_FUZZ_RUNS:-}" ] || limit=(-runs="$KIV_FUZZ_RUNS")
  (cd "$work" && "$work/$t" "${limit[@]}" -print_final_stats=1 -artifact_prefix="$artifacts" \
     "$work/$t-new" "$corpus" > "$work/$t.log" 2>&1)
  rc=$?
  execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$work/$t.log")
  # New inputs that widened the coverage join the corpus (small ones only).
  [ -n "${KIV_FUZZ_READONLY:-}" ] || find "$work/$t-new" -type f -size -4k -exec cp -n {} "$corpus/" \;
  if [ "$rc" -ne 0 ]; then
    echo "fuzz $t: FINDING after ${execs:-?} executions"; grep -E "^(==|SUMMARY)|runtime error" "$work/$t.log" | head -n 8
    status=1
  else
    echo "fuzz $t: ${execs:-?} executions, no finding, corpus $(ls "$corpus" | wc -l) inputs"
  fi
done
exit $status
