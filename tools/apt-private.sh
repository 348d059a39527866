#!/usr/bin/env bash
# Downloads Debian packages of any architecture into a cache folder through a private apt
# configuration: its own sources list, state and cache directories, so the machine's apt setup
# and dpkg database are never touched.
#   tools/apt-private.sh CACHE ARCH PACKAGE...       leaves PACKAGE_*.deb in CACHE/debs
#   tools/apt-private.sh CACHE source PACKAGE=VER    leaves the source package in CACHE/src
# What is already in the cache is not fetched again, so a second run works offline.
set -euo pipefail
cache=${1:?usage: apt-private.sh CACHE ARCH PACKAGE...}
arch=${2:?usage: apt-private.sh CACHE ARCH PACKAGE...}
shift 2
[ $# -gt 0 ] || { echo "apt-private.sh: no package named" >&2; exit 2; }
mkdir -p "$cache/debs" "$cache/src"
missing=()
for p in "$@"; do
  if [ "$arch" = source ]; then
    v=${p#*=} v=${v#*:}
    compgen -G "$cache/src/${p%%=*}_${v}.dsc" >/dev/null || missing+=("$p")
  else
    compgen -G "$cache/debs/${p}_*_${arch}.deb" >/dev/null || compgen -G "$cache/debs/${p}_*_all.deb" >/dev/null ||
      missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

mirror=${KIV_DEBIAN_MIRROR:-http://deb.debian.org/debian}
suite=${KIV_DEBIAN_SUITE:-$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
root="$cache/apt-$arch"
mkdir -p "$root/lists/partial" "$root/archives/partial" "$root/etc/preferences.d" "$root/etc/apt.conf.d" \
         "$root/status.d"
: > "$root/status"
if [ "$arch" = source ]; then
  echo "deb-src [signed-by=$keyring] $mirror $suite main" > "$root/etc/sources.list"
  arch=$(dpkg --print-architecture)
else
  echo "deb [arch=$arch signed-by=$keyring] $mirror $suite main" > "$root/etc/sources.list"
fi
opts=(-o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
      -o "Dir::Etc::SourceList=$root/etc/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
      -o "Dir::Etc::Preferences=$root/etc/preferences" -o "Dir::Etc::PreferencesParts=$root/etc/preferences.d"
      -o "Dir::Etc::Parts=$root/etc/apt.conf.d"
      -o "Dir::State=$root" -o "Dir::State::Lists=$root/lists" -o "Dir::State::status=$root/status"
      -o "Dir::Cache=$root" -o "Dir::Cache::Archives=$root/archives"
      -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
apt-get -q "${opts[@]}" update >&2
if [ "$root" = "$cache/apt-source" ]; then
  (cd "$cache/src" && apt-get -q "${opts[@]}" source --download-only "${missing[@]}" >&2)
else
  (cd "$cache/debs" && apt-get -q "${opts[@]}" download "${missing[@]}" >&2)
fi
