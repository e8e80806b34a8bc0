#!/usr/bin/env bash
# Builds UnPackFile and runs it once in a throwaway Wine prefix, then shows the
# lines it wrote to unpack.log.
#
#   scripts/demo.sh [arguments for UnPackFile.exe]     (default: /S, auto mode)
#
# Auto mode shows no message box except on a system below Windows 7, so the run
# needs nobody at the keyboard; a time limit ends it in any case.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$UPF_ROOT"

bash "$UPF_ROOT/scripts/setup.sh"
upf_build_preset windows
upf_build_preset native

template=$UPF_WINE_DIR/template
demo=$UPF_WINE_DIR/demo
if [ ! -d "$template" ]; then
  UNPACK_WINEPREFIX=$UPF_WINE_DIR/run "$UPF_ROOT/scripts/make-prefix.sh" "$UPF_ROOT/build/windows/fixtures"
fi
upf_say "A throwaway Wine prefix: $demo"
upf_copy_prefix "$template" "$demo"
trap 'upf_stop_prefix "$demo"' EXIT

[ $# -gt 0 ] || set -- /S
upf_say "Running UnPackFile.exe $*"
cp "$UPF_ROOT/build/windows/app/UnPackFile.exe" "$demo/drive_c/UnPackFile.exe"
rc=0
UPF_WINE_LIMIT=${UPF_DEMO_LIMIT:-120} upf_wine "$demo" 'C:\UnPackFile.exe' "$@" || rc=$?
[ "$rc" -ne 124 ] || upf_say "Stopped at the time limit"

upf_say "unpack.log"
if log=$(upf_log_file "$demo"); then
  upf_show_utf16 "$log"
else
  echo "(no unpack.log was written)"
fi
