#!/usr/bin/env bash
# Runs every test of UnPackFile on this machine, from nothing:
#   1. installs what is missing (scripts/setup.sh)
#   2. finds out whether this host runs 32-bit x86 code, and so which build the
#      whole suite runs on: the shipped 32-bit build (preset windows) where it
#      can, the x86-64 build of the same sources (windows-x64) where it cannot;
#      UNPACK_ARCH=x86 or x64 forces one (scripts/lib.sh, upf_choose_arch)
#   3. builds both Windows presets and the native preset (the package writer
#      and its tests)
#   4. makes a fresh Wine prefix (scripts/make-prefix.sh), and for the 32-bit
#      build a 32-bit one (WINEARCH=win32) as well
#   5. runs ctest: the whole suite on the chosen build, the x86-64 build's unit
#      tests as well where the 32-bit build is the chosen one, and the native
#      tests; prints the summary
# Exits non-zero when anything fails. Leaves no Wine program running.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$UPF_ROOT"
start=$SECONDS

upf_say "Checking the packages"
bash "$UPF_ROOT/scripts/setup.sh"
upf_choose_arch

upf_build_preset native
upf_build_preset "$UPF_PRESET"
if [ "$UPF_ARCH" = x86 ]; then
  # Only the unit tests of the x86-64 build run here; they keep both builds honest.
  upf_build_preset windows-x64 --target unit_tests
else
  # The release is the 32-bit build: it must still compile, though it cannot run here.
  upf_build_preset windows
fi

export UNPACK_WINEPREFIX=${UNPACK_WINEPREFIX:-$UPF_WINE_DIR/run}
trap 'upf_stop_prefix "$UNPACK_WINEPREFIX"; upf_stop_prefix "$(upf_win32_prefix)"' EXIT
"$UPF_ROOT/scripts/make-prefix.sh" "$UPF_BUILD/fixtures"

logs=$UPF_ROOT/build/logs
passed=0
failed=0
status=0
summary=()

# Counts the test cases of a ctest JUnit report: a GoogleTest program's own
# summary where it printed one (a ctest test may hold many cases), otherwise the
# ctest test itself. Prints "name passed failed" per ctest test.
count_cases() {
  awk '
    function flush() { if (name != "") print name, (seen ? p : (status == "fail" ? 0 : 1)), (seen ? f : (status == "fail" ? 1 : 0)) }
    /<testcase name="/ {
      flush()
      match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7)
      match($0, /status="[^"]*"/); status = substr($0, RSTART + 8, RLENGTH - 9)
      p = 0; f = 0; seen = 0
    }
    /\[  PASSED  \] [0-9]+ tests?\./ { p = $4; seen = 1 }
    /\[  FAILED  \] [0-9]+ tests?, listed below/ { f = $4; seen = 1 }
    END { flush() }
  ' "$1"
}

# Runs one preset's tests (further arguments go to ctest); a backstop limit
# guards against anything the tests' own limits miss.
run_ctest() {
  local preset=$1 log=$logs/ctest-$1.log junit=$logs/ctest-$1.xml rc=0 line name p f
  shift
  upf_say "ctest --preset $preset $*"
  rm -f "$junit"
  timeout --kill-after=30 "${UPF_CTEST_LIMIT:-1800}" \
    ctest --preset "$preset" "$@" --output-junit "$junit" --test-output-size-passed 8000000 \
      --test-output-size-failed 8000000 </dev/null 2>&1 | tee "$log" || rc=$?
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  summary+=("$preset: ${line:-no summary from ctest (exit $rc)}")
  if [ -f "$junit" ]; then
    while read -r name p f; do
      passed=$((passed + p))
      failed=$((failed + f))
      [ "$preset" = native ] || summary+=("  $name: $p passed, $f failed")
    done < <(count_cases "$junit")
  elif [ -n "$line" ]; then
    f=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    p=$(($(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line") - f))
    passed=$((passed + p))
    failed=$((failed + f))
  fi
  if [ "$rc" -ne 0 ] || [ -z "$line" ]; then
    status=1
  fi
}

run_ctest "$UPF_PRESET"
[ "$UPF_ARCH" = x86 ] && run_ctest windows-x64 -R '^unit_tests$'

# The native preset may have no tests yet; that is not a failure.
if ctest --test-dir "$UPF_ROOT/build/native" -N 2>/dev/null | grep -q '^Total Tests: 0$'; then
  summary+=("native: no tests")
else
  run_ctest native
fi

echo
echo "== Summary ($((SECONDS - start)) s)"
echo "$UPF_ARCH_NOTE"
printf '%s\n' "${summary[@]}"
echo "tests: $passed passed, $failed failed"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
