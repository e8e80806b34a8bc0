#!/usr/bin/env bash
# Fuzzes the plain parsing code natively with libFuzzer and AddressSanitizer:
# the package layout (headers, records, trailer) and version text scanning.
#   scripts/fuzz.sh [seconds per target, default 600]
# Not part of the test command: it runs for as long as it is told.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
seconds=${1:-600}
out=$UPF_ROOT/build/fuzz
mkdir -p "$out/corpus-package" "$out/corpus-version"
command -v clang++ >/dev/null || upf_die "clang++ is missing (apt-get install clang)"
flags=(-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I"$UPF_ROOT")
clang++ "${flags[@]}" "$UPF_ROOT/tests/fuzz/package_fuzz.cpp" "$UPF_ROOT/unpack/layout/PackageParse.cpp" -o "$out/package_fuzz"
clang++ "${flags[@]}" "$UPF_ROOT/tests/fuzz/version_fuzz.cpp" "$UPF_ROOT/utility/VersionText.cpp" -o "$out/version_fuzz"

# Seeds: a small packaged file when the native writer tests left one, and version texts.
printf '3.6.2.1' | iconv -t UTF-16LE >"$out/corpus-version/seed1"
printf ' -1.+2. 3.4294967297 beta' | iconv -t UTF-16LE >"$out/corpus-version/seed2"
if [ -f "$UPF_ROOT/build/windows/app/UnPackFile.exe" ] && [ -x "$UPF_ROOT/build/native/tools/upkpack" ]; then
  printf 'cabinet bytes' >"$out/package1.cab"
  rm -f "$out/corpus-package/seed.exe"
  "$UPF_ROOT/build/native/tools/upkpack" pack --unchecked-for-tests --stub "$UPF_ROOT/build/windows/app/UnPackFile.exe" \
    --out "$out/corpus-package/seed.exe" "$out/package1.cab" >/dev/null
fi

for target in package version; do
  upf_say "fuzzing $target for $seconds s"
  (cd "$out" && "./${target}_fuzz" -max_total_time="$seconds" -max_len=1048576 -print_final_stats=1 \
      "corpus-$target" 2>&1 | tail -n 25)
done
