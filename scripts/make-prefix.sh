#!/usr/bin/env bash
# Makes the Wine prefix the tests run in: a fresh WOW64 template prefix with our
# stand-ins for expand.exe and timeout.exe, then a copy of it as the run prefix
# that scripts/wine-run (and so ctest) uses. For the 32-bit build it also makes
# a 32-bit prefix (WINEARCH=win32, "run32" beside the run prefix, or
# UNPACK_WINEPREFIX32) for the tests that need 32-bit Windows without WOW64.
#
#   scripts/make-prefix.sh [fixtures folder]
#
# Fixtures default to those of the build chosen for this host (build/windows or
# build/windows-x64, see upf_choose_arch in lib.sh). The run prefix is
# UNPACK_WINEPREFIX (default build/wine/run); the template lies beside it as
# "template".
set -euo pipefail
source "$(dirname "$0")/lib.sh"

[ -n "${UPF_ARCH:-}" ] || upf_choose_arch prefix
fixtures=${1:-$UPF_BUILD/fixtures}
run=${UNPACK_WINEPREFIX:-$UPF_WINE_DIR/run}
template=${UNPACK_WINE_TEMPLATE:-$(dirname "$run")/template}

start=$SECONDS
upf_say "Making the Wine template prefix $template"
upf_make_template_prefix "$template" "$fixtures"
upf_copy_prefix "$template" "$run"
upf_say "Made the Wine prefix $run (a copy of $template) for the ${UPF_ARCH:-x86} build, with expand.exe and timeout.exe from $fixtures ($((SECONDS - start)) s)"
# Only the 32-bit build runs there, and only where the host runs 32-bit code,
# which choosing that build has proved.
if [ "${UPF_ARCH:-x86}" = x86 ]; then
  start=$SECONDS
  run32=$(upf_win32_prefix)
  upf_make_template_prefix "$run32" "$fixtures" win32
  upf_say "Made the 32-bit Wine prefix $run32 (WINEARCH=win32) ($((SECONDS - start)) s)"
fi
