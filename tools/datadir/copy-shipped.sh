#!/usr/bin/env bash
# copy-shipped.sh SRC DIR     copies the shipped tree SRC (files, links, folders) into the data
#                             directory DIR
# copy-shipped.sh --remove DIR  takes out of DIR what the last copy put there
#
# The operator may edit shipped files (OS table, agent parameters, templates), so, like the
# configuration files of a package, a file is replaced by a newer shipped version only while it
# still is the version shipped before, and "--remove" takes only files still as shipped. The
# record of what was shipped is ".shipped.sha256" in DIR: one "SUM PATH" line per entry (a
# link's sum is that of its target text). conf/ is never removed: it holds the operator's
# settings and leases. Used by tools/make-datadir.sh for data/ and by the Debian package for its
# whole tree (/usr/share/kivpxe into /var/lib/kivpxe).
set -euo pipefail
die() { echo "copy-shipped: $*" >&2; exit 1; }

# target_of LINK: a link's target as it must read in the data directory: a relative target
# within the tree as it is, one that leads out of the tree (the package's links to
# /usr/lib/kivpxe) as the absolute path it leads to.
target_of() {
  local target; target=$(readlink "$1")
  if [ -n "${src:-}" ] && [[ $1 == "$src"/* ]] && [[ $target != /* ]]; then
    local abs; abs=$(realpath -ms "$(dirname "$1")/$target")
    [[ $abs == "$src"/* ]] || target=$abs
  fi
  printf '%s' "$target"
}

# sum_of PATH: the sum of a file, or of a link's target text; empty when PATH does not exist.
sum_of() {
  if [ -L "$1" ]; then
    printf 'link:%s' "$(target_of "$1")" | sha256sum | cut -d' ' -f1
  elif [ -f "$1" ]; then
    sha256sum < "$1" | cut -d' ' -f1
  fi
}

# place SRC DEST: a link as a link, a file through a temporary name (0755 when the shipped file
# is executable, else 0644), so a reader never sees half a file.
place() {
  local tmp="$2.tmp.$$"
  rm -f "$tmp"
  if [ -L "$1" ]; then
    ln -s "$(target_of "$1")" "$tmp"
  else
    cp "$1" "$tmp"
    if [ -x "$1" ]; then chmod 0755 "$tmp"; else chmod 0644 "$tmp"; fi
  fi
  rm -f "$2" 2>/dev/null || true
  mv -fT "$tmp" "$2"
}

if [ "${1:-}" = --remove ]; then
  dir=${2:?usage: copy-shipped.sh --remove DIR}
  record="$dir/.shipped.sha256"
  [ -f "$record" ] || exit 0
  while read -r sum rel; do
    case $rel in conf/*|*/../*|../*) continue ;; esac
    [ -n "$sum" ] && [ "$(sum_of "$dir/$rel")" = "$sum" ] && rm -f "$dir/$rel"
  done < "$record"
  rm -f "$record"
  # Folders left empty go too, except conf/ and the data directory itself.
  find "$dir" -mindepth 1 -depth -type d -empty ! -path "$dir/conf" -delete
  exit 0
fi

src=${1:?usage: copy-shipped.sh SRC DIR}
dir=${2:?usage: copy-shipped.sh SRC DIR}
[ -d "$src" ] || die "$src is not a folder"
src=$(realpath -s "$src")
mkdir -p "$dir"
record="$dir/.shipped.sha256"
declare -A was=()
if [ -f "$record" ]; then
  while read -r sum rel; do was[$rel]=$sum; done < "$record"
fi
while IFS= read -r -d '' rel; do
  mkdir -p "$dir/${rel#./}"
done < <(cd "$src" && find . -mindepth 1 -type d -print0)
: > "$record.tmp.$$"
while IFS= read -r -d '' rel; do
  rel=${rel#./}
  [ "$rel" != .shipped.sha256 ] || continue
  new=$(sum_of "$src/$rel")
  cur=$(sum_of "$dir/$rel")
  keep=${was[$rel]:-}
  if [ -z "$cur" ] || [ "$cur" = "$keep" ]; then
    [ "$cur" = "$new" ] || place "$src/$rel" "$dir/$rel"
    keep=$new
  elif [ "$cur" = "$new" ]; then
    keep=$new
  else
    echo "copy-shipped: keeping the locally changed $rel" >&2
  fi
  [ -z "$keep" ] || echo "$keep $rel" >> "$record.tmp.$$"
done < <(cd "$src" && find . \( -type f -o -type l \) -print0 | sort -z)
if cmp -s "$record.tmp.$$" "$record"; then rm -f "$record.tmp.$$"; else mv -f "$record.tmp.$$" "$record"; fi
