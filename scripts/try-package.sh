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
# Exit code: upkpack log's (0 the run upgraded, 1 it did not, 2 no readable log).
# The prefix stays for a look (its unpack.log, the unpack folder below
# C:\Program Files (x86)) until the next trial. Needs the Windows build chosen
# for this host (for the stand-ins) and the native upkpack: scripts/demo.sh
# builds both.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

[ $# -eq 2 ] || upf_die "usage: scripts/try-package.sh PACKAGED.EXE INSTALLED-VERSION (e.g. 3.5.0.0)"
package=$(realpath "$1") installed=$2
[ -f "$package" ] || upf_die "no such file: $1"
[[ $installed =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || upf_die "INSTALLED-VERSION is four dotted numbers, not '$installed'"

upf_choose_arch run
upkpack=$UPF_ROOT/build/native/tools/upkpack
[ -x "$upkpack" ] || upf_die "build the native preset first: cmake --preset native && cmake --build --preset native"
[ -f "$UPF_BUILD/fixtures/expand.exe" ] ||
  upf_die "build the $UPF_PRESET preset first (its stand-ins): cmake --preset $UPF_PRESET && cmake --build --preset $UPF_PRESET"

# The image's machine (PE header, e_lfanew + 4): a 32-bit package needs a host that runs 32-bit code.
pe=$(od -An -tu4 -j60 -N4 "$package" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$package" | tr -d ' ')
if [ "$machine" = 014c ] && [ "$UPF_ARCH" = x64 ]; then
  upf_die "$1 is a 32-bit package, and this host cannot run 32-bit code: rehearse with a package of the x86-64 stub (build/windows-x64/app/UnPackFile.exe) here"
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
"$upkpack" log "$log"
