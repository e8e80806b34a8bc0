#!/usr/bin/env bash
# Tries a packaged file before it ships: runs it under Wine against an older
# host "installed" in a throwaway prefix, and tells the outcome as
# `upkpack log` does.
#
#   scripts/try-package.sh PACKAGED.EXE INSTALLED-VERSION
#   e.g. scripts/try-package.sh UnPackFile-signed.exe 3.5.0.0
#
# The prefix (build/wine/try) is a copy of the tests' template prefix, with our
# stand-ins for expand.exe and timeout.exe, made first when missing. In it:
# INSTALLED-VERSION as the host's Version below HKLM in its 32-bit view (plus
# the values the upgrade touches, see upf_install_host in lib.sh), the packaged
# file in the delivery layout C:\mox\download\data\UnPackFile.exe, started in
# auto mode (/S). Manual mode is not offered: a refusal there waits on a message
# box that, in a prefix without a display driver, nobody sees or closes.
#
# Exit codes, one for each case:
#   0  the run upgraded the host
#   1  the run refused, failed or shows no outcome (upkpack log's reading)
#   2  usage: wrong arguments
#   3  the file is missing or is not a packaged UnPackFile.exe
#   4  this host cannot run the package (a 32-bit one where 32-bit code cannot run)
#   5  the trial could not be made: a build missing, Wine failing, no log written
# The prefix stays for a look (its unpack.log, the unpack folder below
# C:\Program Files (x86)) until the next trial. Needs the Windows build chosen
# for this host (for the stand-ins) and the native upkpack: scripts/demo.sh
# builds both.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
fail() { printf 'error: %s\n' "$2" >&2; told=yes; exit "$1"; }
# Until the run has been read, any other ending (upf_die's 1 included) is a trial that could not be made.
trap 'status=$?; [ $status -eq 0 ] || [ -n "${told:-}" ] || exit 5' EXIT

case ${1:-} in -h | --help)
  sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
  exit 0 ;;
esac
[ $# -eq 2 ] || fail 2 "usage: scripts/try-package.sh PACKAGED.EXE INSTALLED-VERSION (e.g. 3.5.0.0); --help tells more"
[[ $2 =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail 2 "INSTALLED-VERSION is four dotted numbers, not '$2'"
[ -f "$1" ] || fail 3 "no such file: $1"
package=$(realpath "$1") installed=$2

upf_choose_arch prefix
upkpack=$UPF_ROOT/build/native/tools/upkpack
[ -x "$upkpack" ] || upf_die "build the native preset first: cmake --preset native && cmake --build --preset native"
[ -f "$UPF_BUILD/fixtures/expand.exe" ] ||
  upf_die "build the $UPF_PRESET preset first (its stand-ins): cmake --preset $UPF_PRESET && cmake --build --preset $UPF_PRESET"

# inspect prints the header offset only where it finds a package behind a PE image.
"$upkpack" inspect "$package" 2>/dev/null | grep -q '^header offset:' ||
  fail 3 "$1 is not a packaged UnPackFile.exe: upkpack inspect finds no package in it"
# The image's machine (PE header, e_lfanew + 4): a 32-bit package needs a host that runs 32-bit code.
pe=$(od -An -tu4 -j60 -N4 "$package" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$package" | tr -d ' ')
if [ "$machine" = 014c ] && [ "$UPF_ARCH" = x64 ]; then
  fail 4 "$1 is a 32-bit package, and this host cannot run 32-bit code: rehearse with a package of the x86-64 stub (build/windows-x64/app/UnPackFile.exe) here, see README.md"
fi

trial=$UPF_WINE_DIR/try
upf_say "A fresh prefix with host $installed installed: $trial"
upf_fresh_prefix "$trial"
upf_install_host "$trial" "$installed"
data=$trial/drive_c/mox/download/data
mkdir -p "$data"
cp "$package" "$data/UnPackFile.exe"

upf_say "Running C:\\mox\\download\\data\\UnPackFile.exe /S (auto mode)"
start=$SECONDS
UPF_WINE_LIMIT=${UPF_WINE_LIMIT:-300} upf_wine "$trial" 'C:\mox\download\data\UnPackFile.exe' /S </dev/null || true
upf_say "UnPackFile.exe ended after $((SECONDS - start)) s"
upf_stop_prefix "$trial"

log=$(upf_log_file "$trial") || upf_die "the run wrote no unpack.log (is $1 a packaged UnPackFile.exe of the $UPF_PRESET build's kind?)"
upf_say "The run, as upkpack log tells it ($log)"
told=yes
outcome=0
"$upkpack" log "$log" || outcome=$?
build="the shipped 32-bit build's"
[ "$UPF_ARCH" = x86 ] || build="the x86-64 build's"
upf_say "ran the package in $trial, a prefix with $build stand-ins"
[ $outcome -le 1 ] || exit 5
exit $outcome
