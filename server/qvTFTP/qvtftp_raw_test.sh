#!/usr/bin/env bash
# Runs the raw-UDP TFTP client script against the test driver.
command -v python3 >/dev/null || { echo "SKIP: python3 is not installed"; exit 77; }
exec python3 "$(dirname "$0")/qvtftp_raw_test.py" "${KIV_BINARY_DIR:?}/server/qvTFTP/qvtftp_testserver"
