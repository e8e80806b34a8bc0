#!/usr/bin/env bash
# Benchmarks of UnPackFile.exe under Wine; prints the figures the README quotes.
#   scripts/bench.sh            (after scripts/test.sh or scripts/demo.sh has built everything)
#   scripts/bench.sh --before OLD/build/windows
# Figures: extraction speed against a bare 1 KiB loop and CopyFileW; the package
# check alone and the extraction with and without it; peak private memory with
# a 1 MB and a 512 MB package (both checked before extraction); the stub's size and imports; start-up
# cost of a refusal run against a trivial program.
# --before names the build folder of an earlier checkout (same preset): its
# extraction benchmark runs in turns with this one, and whole upgrades (a 512 MB
# package, five runs each, taking turns) run with its stub beside this one; time
# and peak memory are printed as ratios this/before. An earlier build, e.g. of main:
#   git worktree add ../upf-before main && cd ../upf-before &&
#   cmake --preset windows && cmake --build --preset windows --target UnPackFile extract_bench
set -euo pipefail
source "$(dirname "$0")/lib.sh"

before=
if [ "${1:-}" = --before ]; then
  old_build=$(realpath "${2:?--before needs the build folder of an earlier checkout}")
  before=$old_build/app/UnPackFile.exe
  [ -f "$before" ] && [ -f "$old_build/bench/extract_bench.exe" ] ||
    upf_die "build UnPackFile and extract_bench in $old_build first"
fi

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
[ -z "$before" ] || stat -c 'before:         %s bytes' "$before"
objdump=i686-w64-mingw32-objdump
[ "$UPF_ARCH" = x64 ] && objdump=x86_64-w64-mingw32-objdump
echo "imports: $($objdump -p "$win/app/UnPackFile.exe" | awk '/DLL Name/ {print $3}' | tr '\n' ' ')"

echo "== Extraction of one 54,434,322-byte entry, and the package check before it (median of 5, warm cache)"
upf_wine "$prefix" "$win/bench/extract_bench.exe" 'C:\bench' 54434322 5
if [ -n "$before" ]; then
  echo "== The same, this build against the one before (3 rounds each, taking turns)"
  declare -A copies
  for run in 1 2 3; do
    for kind in before this; do
      bench=$win/bench/extract_bench.exe
      [ $kind = before ] && bench=$old_build/bench/extract_bench.exe
      line=$(upf_wine "$prefix" "$bench" 'C:\bench' 54434322 5 | grep -E 'UnPackFiles|bare 1 KiB' | tr -s ' ' | tr '\n' ' ')
      printf '%-6s round %d: %s\n' "$kind" "$run" "$line"
      copies[$kind]+="$(sed -n 's/.*UnPackFiles: \([0-9.]*\) s.*/\1/p' <<<"$line") "
    done
  done
fi

echo "== Peak private memory of a whole run (auto mode, extraction then a failing expansion)"
host='HKLM\Software\Kestrune Inc.\Kestrune Remote Server'
upf_wine "$prefix" reg add "$host" /v Version /d 3.5.0.0 /f /reg:32 >/dev/null
rm -rf "$work" && mkdir -p "$work"
for size in 1 512; do
  head -c $((size * 1024 * 1024)) /dev/urandom >"$work/package1.cab"
  mkdir -p "$drive/bench$size"
  "$native/tools/upkpack" pack --force --unchecked-for-tests --stub "$win/app/UnPackFile.exe" --out "$drive/bench$size/UnPackFile.exe" "$work/package1.cab" >/dev/null
  printf '%4d MB package: ' "$size"
  upf_wine "$prefix" "$win/bench/process_bench.exe" 1 "C:\\bench$size\\UnPackFile.exe" /S
  rm -rf "$drive/bench$size" "$drive/Program Files (x86)/Kestrune"
done

if [ -n "$before" ]; then
  echo "== Whole run with a 512 MB package: this stub against the one before (5 runs each, taking turns)"
  head -c $((512 * 1024 * 1024)) /dev/urandom >"$work/package1.cab"
  declare -A times peaks
  for run in 1 2 3 4 5; do
    # Each goes first in every other turn, and each run starts with nothing
    # left to write back from the one before.
    order="before this"
    [ $((run % 2)) = 0 ] && order="this before"
    for kind in $order; do
      stub=$win/app/UnPackFile.exe
      [ $kind = before ] && stub=$before
      # A folder of its own each run, as the stub removes the one it came from.
      folder=side-$kind-$run
      mkdir -p "$drive/$folder"
      "$native/tools/upkpack" pack --force --unchecked-for-tests --stub "$stub" --out "$drive/$folder/UnPackFile.exe" "$work/package1.cab" >/dev/null
      sync
      line=$(upf_wine "$prefix" "$win/bench/process_bench.exe" 1 "C:\\$folder\\UnPackFile.exe" /S)
      printf '%-6s run %d: %s\n' "$kind" "$run" "$line"
      times[$kind]+="$(sed -n 's/.*median: \([0-9.]*\) s.*/\1/p' <<<"$line") "
      peaks[$kind]+="$(sed -n 's/.*peak private: \([0-9]*\) KiB.*/\1/p' <<<"$line") "
      # The stub removes its download folder a few seconds after it ended: the
      # next run starts once that is done.
      for _ in $(seq 40); do [ -d "$drive/$folder" ] || break; sleep 0.5; done
      rm -rf "$drive/Program Files (x86)/Kestrune" "$drive/Program Files/Kestrune"
    done
  done
  median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
  awk -v cb="$(median "${copies[before]}")" -v ca="$(median "${copies[this]}")" 'BEGIN {
    printf "extraction:   this %.3f s, before %.3f s: this/before %.2f\n", ca, cb, ca / cb }'
  awk -v tb="$(median "${times[before]}")" -v ta="$(median "${times[this]}")" \
      -v pb="$(median "${peaks[before]}")" -v pa="$(median "${peaks[this]}")" 'BEGIN {
    printf "whole run:    this %.3f s, before %.3f s: this/before %.2f\n", ta, tb, ta / tb
    printf "peak private: this %d KiB, before %d KiB: this/before %.2f\n", pa, pb, pa / pb }'
  rm -rf "$drive"/side-*
fi
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
