#!/usr/bin/env bash
# Downloads with Debian's TFTP clients (curl, atftp, tftp-hpa) from a directory root and from
# inside an ISO image, in multi-port and single-port mode; every file is compared by sha256.
set -uo pipefail
server=${KIV_BINARY_DIR:?}/server/qvTFTP/qvtftp_testserver
for tool in curl atftp tftp xorriso sha256sum; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d "/tmp/tftp_peer_$$_XXXX")
srv_pid=
cleanup() {
  [ -n "$srv_pid" ] && kill "$srv_pid" 2>/dev/null && wait "$srv_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Fixtures: sizes around block boundaries, a file that needs many blocks, an empty file.
mkdir -p "$work/root/pxelinux.cfg" "$work/src/boot/grub" "$work/dl"
head -c 300001 /dev/urandom > "$work/root/loader.bin"
head -c 1468 /dev/urandom > "$work/root/pxelinux.cfg/default"
: > "$work/root/empty"
head -c 1048576 /dev/urandom > "$work/src/boot/vmlinuz"
head -c 1024 /dev/urandom > "$work/src/boot/grub/grub.cfg"
xorriso -as mkisofs -quiet -R -o "$work/media.iso" "$work/src" >/dev/null 2>&1 || {
  echo "FAIL: xorriso could not build the image"; exit 1; }

failures=0
check() {  # check <label> <expected file> <downloaded file>
  local want got
  want=$(sha256sum < "$2" | cut -d' ' -f1)
  got=$(sha256sum < "$3" 2>/dev/null | cut -d' ' -f1)
  if [ -f "$3" ] && [ "$want" = "$got" ]; then
    echo "ok   $1"
  else
    echo "FAIL $1"; failures=$((failures + 1))
  fi
  rm -f "$3"
}

run_mode() {  # run_mode multi|single
  local mode=$1 extra=() port
  [ "$mode" = single ] && extra=(--single)
  "$server" --port 0 --root "=$work/root" --root "ISO1=$work/media.iso" "${extra[@]}" \
    > "$work/events.$mode" 2> "$work/log.$mode" &
  srv_pid=$!
  for _ in $(seq 50); do grep -q '^READY' "$work/events.$mode" && break; sleep 0.1; done
  port=$(awk '/^READY/{print $2}' "$work/events.$mode")
  [ -n "$port" ] || { echo "FAIL $mode: server did not start"; cat "$work/log.$mode"; exit 1; }

  local -a files=("loader.bin:root/loader.bin" "pxelinux.cfg/default:root/pxelinux.cfg/default"
                  "empty:root/empty" "ISO1/boot/vmlinuz:src/boot/vmlinuz"
                  "iso1/BOOT/GRUB/grub.cfg:src/boot/grub/grub.cfg")
  local entry remote local_ out=$work/dl/out
  for entry in "${files[@]}"; do
    remote=${entry%%:*}; local_=$work/${entry#*:}
    # curl rejects an OACK that announces tsize 0 and abandons the transfer, so empty files
    # are fetched with the other clients only.
    if [ -s "$local_" ]; then
      timeout 60 curl -s --tftp-blksize 1468 "tftp://127.0.0.1:$port/$remote" -o "$out"
      check "$mode curl blksize 1468 $remote" "$local_" "$out"
      timeout 60 curl -s "tftp://127.0.0.1:$port/$remote" -o "$out"
      check "$mode curl $remote" "$local_" "$out"
    fi
    timeout 60 atftp --option "blksize 8192" --option "tsize 0" --option "windowsize 4" \
      -g -r "$remote" -l "$out" 127.0.0.1 "$port" >/dev/null 2>&1
    check "$mode atftp blksize 8192 tsize windowsize $remote" "$local_" "$out"
    (cd "$work/dl" && timeout 60 tftp 127.0.0.1 "$port" -m binary -c get "$remote" out >/dev/null 2>&1)
    check "$mode tftp-hpa $remote" "$local_" "$out"
  done

  # Errors reach the client: a missing file and a path out of the root both fail the download.
  local bad
  for bad in missing.bin ../etc/passwd; do
    if timeout 30 curl -s "tftp://127.0.0.1:$port/$bad" -o "$out" 2>/dev/null; then
      echo "FAIL $mode curl $bad succeeded"; failures=$((failures + 1))
    else
      echo "ok   $mode curl $bad refused"
    fi
    rm -f "$out"
  done
  kill "$srv_pid"; wait "$srv_pid"; srv_pid=
  # Every download above ended with a successful end event, and one start event each.
  local starts ends
  starts=$(grep -c '^EVENT 2 ' "$work/events.$mode")
  ends=$(grep -c '^EVENT 4 .* result=0x0$' "$work/events.$mode")
  if [ "$starts" -eq 18 ] && [ "$ends" -eq 18 ] && grep -q '^EVENT 1 .*missing.bin.*result=0x2004' "$work/events.$mode"; then
    echo "ok   $mode events: 18 started, 18 ended, refused request reported"
  else
    echo "FAIL $mode events: $starts started, $ends ended"; failures=$((failures + 1))
  fi
}

run_mode multi
run_mode single
[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
