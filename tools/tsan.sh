#!/usr/bin/env bash
# ThreadSanitizer run of the file services and the controller: configures build-tsan with
# KIV_SANITIZE=thread, builds the TFTP, HTTP and controller test programs and runs them. Any data
# race report fails the run. Extra arguments go to every test program (e.g. --gtest_filter=...).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${KIV_TSAN_DIR:-$top/build-tsan}
tests=(server/qvTFTP/qvtftp_rfc_test server/qvTFTP/qvtftp_config_test
       server/qvHTTP/qvhttp_unit_test server/qvHTTP/qv_roots_live_test
       server/deploy/kiv_deploy_test)
cmake -S "$top" -B "$dir" -G Ninja -DKIV_SANITIZE=thread >/dev/null
nice ninja -C "$dir" -j "${KIV_JOBS:-2}" "${tests[@]##*/}"
# GLib is not instrumented: reports from inside it (its own locking) are suppressed.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$top/tools/tsan.supp ${TSAN_OPTIONS:-}"
status=0
for test in "${tests[@]}"; do
    echo "== $test"
    (cd "$dir/$(dirname "$test")" && "./$(basename "$test")" "$@") || status=1
done
exit $status
