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

# Runs one preset's tests; a backstop limit guards against anything the tests'
# own limits miss.
run_ctest() {
  local preset=$1 log=$logs/ctest-$1.log rc=0 line total fails
  upf_say "ctest --preset $preset"
  timeout --kill-after=30 "${UPF_CTEST_LIMIT:-1800}" ctest --preset "$preset" </dev/null 2>&1 | tee "$log" || rc=$?
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$line" ]; then
    fails=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - fails))
    failed=$((failed + fails))
    summary+=("$preset: $line")
  else
    summary+=("$preset: no summary from ctest (exit $rc)")
    failed=$((failed + 1))
  fi
  [ "$rc" -eq 0 ] || status=1
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
echo "ctest: $passed passed, $failed failed"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
