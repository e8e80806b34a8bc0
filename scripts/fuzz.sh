#!/usr/bin/env bash
# Fuzzes the plain parsing code natively with libFuzzer and AddressSanitizer:
# the package layout (headers, records, trailer), version text scanning, and
# the log reader, which takes files from customers.
#   scripts/fuzz.sh [seconds per target, default 600]
# Not part of the test command: it runs for as long as it is told.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
seconds=${1:-600}
out=$UPF_ROOT/build/fuzz
mkdir -p "$out/corpus-package" "$out/corpus-version" "$out/corpus-log"
command -v clang++ >/dev/null || upf_die "clang++ is missing (apt-get install clang)"
flags=(-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I"$UPF_ROOT")
clang++ "${flags[@]}" "$UPF_ROOT/tests/fuzz/package_fuzz.cpp" "$UPF_ROOT/unpack/layout/PackageParse.cpp" -o "$out/package_fuzz"
clang++ "${flags[@]}" "$UPF_ROOT/tests/fuzz/version_fuzz.cpp" "$UPF_ROOT/utility/VersionText.cpp" -o "$out/version_fuzz"
clang++ "${flags[@]}" "$UPF_ROOT/tests/fuzz/log_fuzz.cpp" "$UPF_ROOT"/tools/log/*.cpp -o "$out/log_fuzz"

# Seeds: a small packaged file when the native writer tests left one, and version texts.
printf '3.6.2.1' | iconv -t UTF-16LE >"$out/corpus-version/seed1"
printf ' -1.+2. 3.4294967297 beta' | iconv -t UTF-16LE >"$out/corpus-version/seed2"
# Log seeds: a refusal and an extraction's lines of two copies, as the unpacker
# writes them (UTF-16LE, CR LF), and the same as a UTF-8 copy.
printf '%s\r\n' \
  '[300]2026-12-09 01:40:45  [CUnPackFileApp::InitInstance] upgrade criteria passed 3.5.0.0 >= 2.4.0.0 (Last=2)' \
  '[300]2026-12-09 01:40:46  [CUnPack::UnPackFiles] UnPack count:1 len:270256 File:C:\AutoUpdate\package1.cab (Last=0)' \
  '[301]2026-12-09 01:40:46  [CUnPackFileApp::InitInstance] upgrade skip Another installation is in progress. (Last=0)' \
  '[300]2026-12-09 01:40:47  [CUnPack::CheckPackage] Package damaged: length expected 9 bytes, found 8 (Last=0)' \
  '[300]2026-12-09 01:40:47  [CUnPackFileApp::InitInstance] upgrade skip unpack not success (Last=0)' \
  '[300]2026-12-09 01:40:47  [CUnPackFileApp::HackForNDUSilentInstallFail] autoinstaller prepare to exit (Last=0)' \
  >"$out/corpus-log/seed-utf8"
iconv -f UTF-8 -t UTF-16LE "$out/corpus-log/seed-utf8" >"$out/corpus-log/seed-utf16"
if [ -f "$UPF_ROOT/build/windows/app/UnPackFile.exe" ] && [ -x "$UPF_ROOT/build/native/tools/upkpack" ]; then
  printf 'cabinet bytes' >"$out/package1.cab"
  rm -f "$out/corpus-package/seed.exe"
  "$UPF_ROOT/build/native/tools/upkpack" pack --unchecked-for-tests --stub "$UPF_ROOT/build/windows/app/UnPackFile.exe" \
    --out "$out/corpus-package/seed.exe" "$out/package1.cab" >/dev/null
fi

for target in package version log; do
  upf_say "fuzzing $target for $seconds s"
  (cd "$out" && "./${target}_fuzz" -max_total_time="$seconds" -max_len=1048576 -print_final_stats=1 \
      "corpus-$target" 2>&1 | tail -n 25)
done
