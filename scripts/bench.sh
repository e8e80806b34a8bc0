#!/usr/bin/env bash
# Benchmarks of UnPackFile.exe under Wine; prints the figures the README quotes.
#   scripts/bench.sh            (after scripts/test.sh or scripts/demo.sh has built everything)
# Figures: extraction speed against a bare 1 KiB loop and CopyFileW; the package
# check alone and the extraction with and without it; peak private memory with
# a 1 MB and a 512 MB package (both checked before extraction); the stub's size and imports; start-up
# cost of a refusal run against a trivial program.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

upf_choose_arch run
win=$UPF_BUILD
native=$UPF_ROOT/build/native
prefix=$UPF_WINE_DIR/bench
work=$UPF_ROOT/build/bench-data
[ -f "$win/bench/extract_bench.exe" ] || upf_die "build the $UPF_PRESET preset first"
[ -x "$native/tools/upkpack" ] || upf_die "build the native preset first"
[ "$(cat "$UPF_WINE_DIR/template/.upf-arch" 2>/dev/null)" = "$UPF_ARCH" ] || UNPACK_WINEPREFIX=$UPF_WINE_DIR/run "$UPF_ROOT/scripts/make-prefix.sh" "$win/fixtures"
upf_copy_prefix "$UPF_WINE_DIR/template" "$prefix"
drive=$prefix/drive_c
export UPF_WINE_LIMIT=900
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

echo "== Stub: the image before the package"
stat -c 'UnPackFile.exe: %s bytes' "$win/app/UnPackFile.exe"
objdump=i686-w64-mingw32-objdump
[ "$UPF_ARCH" = x64 ] && objdump=x86_64-w64-mingw32-objdump
echo "imports: $($objdump -p "$win/app/UnPackFile.exe" | awk '/DLL Name/ {print $3}' | tr '\n' ' ')"

echo "== Extraction of one 54,434,322-byte entry, and the package check before it (median of 5, warm cache)"
upf_wine "$prefix" "$win/bench/extract_bench.exe" 'C:\bench' 54434322 5

echo "== Peak private memory of a whole run (auto mode, extraction then a failing expansion)"
host='HKLM\Software\Kestrune Inc.\Kestrune Remote Server'
upf_wine "$prefix" reg add "$host" /v Version /d 3.5.0.0 /f /reg:32 >/dev/null
rm -rf "$work" && mkdir -p "$work"
for size in 1 512; do
  head -c $((size * 1024 * 1024)) /dev/urandom >"$work/package1.cab"
  mkdir -p "$drive/bench$size"
  "$native/tools/upkpack" pack --stub "$win/app/UnPackFile.exe" --out "$drive/bench$size/UnPackFile.exe" "$work/package1.cab" >/dev/null
  printf '%4d MB package: ' "$size"
  upf_wine "$prefix" "$win/bench/process_bench.exe" 1 "C:\\bench$size\\UnPackFile.exe" /S
  rm -rf "$drive/bench$size" "$drive/Program Files (x86)/Kestrune"
done
rm -rf "$work"

echo "== Start-up: a refusal run (installed version not older, auto mode) against a trivial program (median of 10)"
own=$(grep -m1 -o 'UNPACK_PRODUCT_VERSION:STRING=.*' "$win/CMakeCache.txt" | cut -d= -f2)
upf_wine "$prefix" reg add "$host" /v Version /d "$own" /f /reg:32 >/dev/null
printf 'UnPackFile.exe /S:  '
upf_wine "$prefix" "$win/bench/process_bench.exe" 10 "$(winpath "$win/app/UnPackFile.exe")" /S
printf 'trivial program:    '
upf_wine "$prefix" "$win/bench/process_bench.exe" 10 "$(winpath "$win/fixtures/sleeper.exe")" 0
upf_stop_prefix "$prefix"
upf_say "$UPF_ARCH_NOTE"
