#!/usr/bin/env bash
# Installs every Debian package the build, the data tree and the tests need. Idempotent: packages
# already present are skipped, so a second run costs a dpkg query. The lists live in
# tools/packages/*.list, one per subsystem, one package per line ('#' starts a comment). An entry
# PACKAGE@COMMAND is skipped when COMMAND is already on the PATH from elsewhere (npm comes with
# some Node.js builds, whose packages conflict with Debian's npm).
# Further lists given as arguments are installed too (the benchmarks' peers: bench/packages.list).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wanted=$(sed -e 's/#.*//' "$here"/packages/*.list "$@" | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for p in $wanted; do
  if [ "${p#*@}" != "$p" ]; then
    command -v "${p#*@}" > /dev/null && continue
    p=${p%@*}
  fi
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi
echo "setup: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
