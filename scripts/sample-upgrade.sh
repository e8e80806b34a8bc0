#!/usr/bin/env bash
# A full sample upgrade in a throwaway Wine prefix, shown step by step:
#   1. a cabinet of a sample host, made with gcab
#   2. packed behind UnPackFile.exe with upkpack, and inspected
#   3. an older host "installed" in the registry, its service program running
#   4. the upgrade run from a mox\<download>\data delivery layout
#   5. what happened: unpack.log, aucab.txt, the registry values, the host
#      program stopped, and the download folder gone after the program ended
#   6. what support sees: upkpack extract of the packaged file, upkpack log
#      of the run's unpack.log (both kept in build/sample).
#
# Needs the Windows build chosen for this host and the native build
# (scripts/demo.sh makes them).
set -euo pipefail
source "$(dirname "$0")/lib.sh"

[ -n "${UPF_ARCH:-}" ] || upf_choose_arch run
win=$UPF_BUILD
native=$UPF_ROOT/build/native
demo=$UPF_WINE_DIR/demo
stage=$UPF_ROOT/build/sample
[ -x "$native/tools/upkpack" ] || upf_die "build the native preset first (scripts/demo.sh does)"
[ -f "$win/app/UnPackFile.exe" ] || upf_die "build the $UPF_PRESET preset first (scripts/demo.sh does)"

upf_say "A throwaway Wine prefix: $demo"
upf_fresh_prefix "$demo"
drive=$demo/drive_c
wine_in() { upf_wine "$demo" "$@"; }

upf_say "1. The sample host's cabinet (gcab): VYAuto.exe (a stand-in installer) and a data file"
rm -rf "$stage" && mkdir -p "$stage/host"
cp "$win/fixtures/fakehost.exe" "$stage/host/VYAuto.exe"
printf 'Kestrune Ostrel sample host, version %s\r\n' "$(grep -m1 -o 'UNPACK_PRODUCT_VERSION:STRING=.*' "$win/CMakeCache.txt" | cut -d= -f2)" >"$stage/host/hostdata.txt"
(cd "$stage/host" && gcab -c -z "$stage/package1.cab" VYAuto.exe hostdata.txt)
gcab -l "$stage/package1.cab"

upf_say "2. Packing it behind UnPackFile.exe, then checking the result"
mkdir -p "$drive/mox/download/data"
# Packed beside the stage and copied into the delivery folder, which the run removes.
"$native/tools/upkpack" pack --stub "$win/app/UnPackFile.exe" --out "$stage/UnPackFile.exe" "$stage/package1.cab"
"$native/tools/upkpack" inspect "$stage/UnPackFile.exe"
cp "$stage/UnPackFile.exe" "$drive/mox/download/data/UnPackFile.exe"

upf_say "3. An older host: Version 3.5.0.0 in the registry, the updater's InstallType, and VYAuto.exe running"
host=$UPF_HOST_KEY product=$UPF_UPDATER_KEY
upf_install_host "$demo" 3.5.0.0
mkdir -p "$drive/hostbin"
cp "$win/fixtures/sleeper.exe" "$drive/hostbin/VYAuto.exe"
upf_wine_command
(WINEPREFIX=$demo WINEDEBUG=-all timeout 300 "${UPF_WINE_CMD[@]}" 'C:\hostbin\VYAuto.exe' 300 >/dev/null 2>&1 &)
sleep 2

upf_say "4. Running C:\\mox\\download\\data\\UnPackFile.exe (manual mode)"
export FAKEHOST_LOG='C:\hostbin\installer-calls.txt'
start=$SECONDS
UPF_WINE_LIMIT=300 wine_in 'C:\mox\download\data\UnPackFile.exe' || true
upf_say "UnPackFile.exe ended after $((SECONDS - start)) s"

upf_say "5. What happened"
echo "--- unpack.log (UTF-16LE, shown as UTF-8) ---"
if log=$(upf_log_file "$demo"); then upf_show_utf16 "$log"; else echo "(no unpack.log was written)"; fi
unpack="$drive/Program Files (x86)/Kestrune/Kestrune Remote/AutoUpdate"
echo "--- the unpack folder ---"
ls -l "$unpack"
echo "--- aucab.txt ---"
cat "$unpack/aucab.txt"
echo "--- the installer was called with ---"
cat "$drive/hostbin/installer-calls.txt"
echo "--- registry ---"
wine_in reg query "$host" /reg:32 | tr -d '\r' | grep -E 'Version|AutoUpgradeManual|CloudAutoUpdateStatus' || true
wine_in reg query "$product" /reg:32 | tr -d '\r' | grep InstallType || true
echo "--- the running host program ---"
# Wine runs each Windows program as a Unix process whose command line names it.
if grep -qa 'hostbin[\]VYAuto' /proc/[0-9]*/cmdline 2>/dev/null; then echo "still running (unexpected)"; else echo "stopped by the upgrade"; fi
echo "--- the download folder (removed five seconds after the program ended) ---"
for _ in $(seq 1 30); do [ -d "$drive/mox/download" ] || break; sleep 1; done
if [ -d "$drive/mox/download" ]; then echo "C:\\mox\\download still exists (unexpected)"; else echo "C:\\mox\\download is gone; C:\\mox remains: $( [ -d "$drive/mox" ] && echo yes || echo no)"; fi
upf_stop_prefix "$demo"

upf_say "6. What support sees: the packaged file unpacked, and the run's unpack.log read"
rm -rf "$stage/extracted"
"$native/tools/upkpack" extract "$stage/UnPackFile.exe" --out "$stage/extracted"
cmp "$stage/package1.cab" "$stage/extracted/package1.cab" && echo "extracted package1.cab is the packed cabinet, byte for byte"
if [ -n "${log:-}" ]; then
  cp "$log" "$stage/unpack.log"
  "$native/tools/upkpack" log "$stage/unpack.log" && echo "(exit code 0: the last run upgraded)" ||
    echo "(exit code $?: the last run did not upgrade)"
fi
