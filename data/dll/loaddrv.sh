#!/bin/sh
# Loads a base driver package for the install agent: unpacks PACKAGE (a .tar.bz2) into the data
# directory's driver/ tree and records the package in driver/version.txt, whose first line the
# "Base Driver Package" dialog shows. kivpxe runs it from the data directory as
#   sh dll/loaddrv.sh PACKAGE DIRECTORY-OF-PACKAGE
set -eu
pkg=$1
[ -f "$pkg" ] || { echo "loaddrv: no package $pkg" >&2; exit 1; }
mkdir -p driver
# GNU tar drops leading "/" and refuses members with "..", so nothing lands outside driver/.
tar -xjf "$pkg" -C driver
name=$(basename "$pkg" .tar.bz2)
# The package's date: from its name when it carries one (YYYYMMDD), else the file's own date.
stamp=$(printf '%s' "$name" | grep -o '20[0-9]\{6\}' | head -n 1 || true)
[ -n "$stamp" ] || stamp=$(date -r "$pkg" +%Y%m%d)
printf '%s %s\n' "$stamp" "$name" > driver/version.txt.tmp
mv driver/version.txt.tmp driver/version.txt
