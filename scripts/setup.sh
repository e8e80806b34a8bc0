#!/usr/bin/env bash
# Prepares a Debian machine for building and testing UnPackFile: Wine with
# 32-bit support (the product is a 32-bit Windows program; the tests run it in a
# 64-bit prefix, as on 64-bit Windows), the MinGW-w64 cross compilers for the
# shipped 32-bit build and for the x86-64 build that hosts without 32-bit
# support test, the cabinet and signing tools, CMake, Ninja, GoogleTest, the
# compilers for the host and the libraries upkpack builds with (CLI11, nlohmann-json, libgcab,
# libmspack, libcrypto; found with pkg-config), ccache (the reproducible-build
# test compiles the stub twice), and what makes and checks upkpack's Debian
# package and manual page (help2man, dpkg-dev's dpkg-shlibdeps, man-db).
# Idempotent: when everything is installed it only checks, in well under a
# second, without touching the package index. On a kernel that cannot run
# 32-bit code wine32 is left out (nothing could run it), so a second run there
# does not try it again.
# Runs as root (or through sudo).
set -euo pipefail
source "$(dirname "$0")/lib.sh"

packages=(
  wine wine32:i386 wine64
  g++-mingw-w64-i686-posix mingw-w64-i686-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  gcab osslsigncode openssl
  libcli11-dev nlohmann-json3-dev libgcab-dev libmspack-dev libssl-dev pkg-config
  cmake ninja-build googletest g++ clang ccache
  help2man dpkg-dev man-db
)

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# One dpkg-query for all: "name:arch" of every installed package asked about.
installed_list() {
  dpkg-query -W -f='${db:Status-Status} ${Package}:${Architecture}\n' "${packages[@]}" 2>/dev/null |
    sed -n 's/^installed //p' || true
}

missing_packages() {
  local list package
  list=$(installed_list)
  for package in "${packages[@]}"; do
    case $package in
      *:*) grep -qx -- "$package" <<<"$list" || echo "$package" ;;
      *) grep -q -- "^$package:" <<<"$list" || echo "$package" ;;
    esac
  done
}

without() {
  local package rest=()
  for package in "${packages[@]}"; do [ "$package" = "$1" ] || rest+=("$package"); done
  packages=("${rest[@]}")
}

mapfile -t missing < <(missing_packages)
[ ${#missing[@]} -eq 0 ] && exit 0
if [[ " ${missing[*]} " == *" wine32:i386 "* ]] && ! upf_kernel_runs_32bit; then
  echo "note: this host cannot run 32-bit x86 code (kernel without IA-32 emulation): wine32 is left out; the tests run the x86-64 build" >&2
  without wine32:i386
  mapfile -t missing < <(missing_packages)
  [ ${#missing[@]} -eq 0 ] && exit 0
fi

echo "== Installing: ${missing[*]}" >&2
# wine32 is an i386 package: the architecture must be known before the update.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync serves an index of the wrong size for a
# while; amd64 and i386 packages must then come from the same index, so try
# again a few times, then go on with the indexes that did arrive. For wine32
# alone (missing since such a sync) one try is enough: the rest is in place.
attempts=3
[ "${missing[*]}" != wine32:i386 ] || attempts=1
for attempt in $(seq "$attempts"); do
  if as_root apt-get update -q </dev/null; then break; fi
  echo "== apt-get update failed (attempt $attempt)" >&2
  [ "$attempt" -eq "$attempts" ] || sleep 20
done
if ! as_root apt-get install -y -q "${missing[@]}" </dev/null; then
  # Without its i386 index (see above) wine32 cannot match the amd64 libraries'
  # versions. Everything else is still worth installing: the suite then runs on
  # the x86-64 build, and its summary says that the 32-bit build was not run.
  rest=()
  for package in "${missing[@]}"; do [ "$package" = wine32:i386 ] || rest+=("$package"); done
  [ ${#rest[@]} -lt ${#missing[@]} ] || exit 1
  echo "== wine32 could not be installed; installing the rest" >&2
  [ ${#rest[@]} -eq 0 ] || as_root apt-get install -y -q "${rest[@]}" </dev/null
  without wine32:i386
  echo "warning: wine32 is not installed (the package index did not allow it): the shipped 32-bit build cannot run here" >&2
fi

mapfile -t missing < <(missing_packages)
[ ${#missing[@]} -eq 0 ] || { echo "error: not installed: ${missing[*]}" >&2; exit 1; }
