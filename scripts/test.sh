#!/usr/bin/env bash
# Runs every test of UnPackFile on this machine, from nothing:
#   1. installs what is missing (scripts/setup.sh)
#   2. builds the windows preset (UnPackFile.exe, its tests and the stand-ins)
#      and the native preset (the package writer and its tests)
#   3. makes a fresh Wine prefix (scripts/make-prefix.sh)
#   4. runs ctest for both presets and prints the summary
# Exits non-zero when anything fails. Leaves no Wine program running.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$UPF_ROOT"
start=$SECONDS

upf_say "Checking the packages"
bash "$UPF_ROOT/scripts/setup.sh"

upf_build_preset windows
upf_build_preset native

export UNPACK_WINEPREFIX=${UNPACK_WINEPREFIX:-$UPF_WINE_DIR/run}
trap 'upf_stop_prefix "$UNPACK_WINEPREFIX"' EXIT
"$UPF_ROOT/scripts/make-prefix.sh" "$UPF_ROOT/build/windows/fixtures"

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

# Runs one preset's tests; a backstop limit guards against anything the tests'
# own limits miss.
run_ctest() {
  local preset=$1 log=$logs/ctest-$1.log junit=$logs/ctest-$1.xml rc=0 line name p f
  upf_say "ctest --preset $preset"
  rm -f "$junit"
  timeout --kill-after=30 "${UPF_CTEST_LIMIT:-1800}" \
    ctest --preset "$preset" --output-junit "$junit" --test-output-size-passed 8000000 \
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

run_ctest windows

# The native preset may have no tests yet; that is not a failure.
if ctest --test-dir "$UPF_ROOT/build/native" -N 2>/dev/null | grep -q '^Total Tests: 0$'; then
  summary+=("native: no tests")
else
  run_ctest native
fi

echo
echo "== Summary ($((SECONDS - start)) s)"
printf '%s\n' "${summary[@]}"
echo "tests: $passed passed, $failed failed"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
