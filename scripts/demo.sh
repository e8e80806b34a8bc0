#!/usr/bin/env bash
# The main job: installs what is missing, builds UnPackFile.exe and the package
# writer, then performs a full sample upgrade in a throwaway Wine prefix and shows
# what happened (scripts/sample-upgrade.sh has the steps).
#
#   scripts/demo.sh
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$UPF_ROOT"

bash "$UPF_ROOT/scripts/setup.sh"
# The shipped 32-bit build where this host runs 32-bit x86 code, the x86-64
# build of the same sources where it cannot (UNPACK_ARCH forces one).
upf_choose_arch run
upf_build_preset "$UPF_PRESET"
upf_build_preset native

# A template made for the other build (say by a forced test run) is made again.
if [ "$(cat "$UPF_WINE_DIR/template/.upf-arch" 2>/dev/null)" != "$UPF_ARCH" ]; then
  UNPACK_WINEPREFIX=$UPF_WINE_DIR/run "$UPF_ROOT/scripts/make-prefix.sh" "$UPF_BUILD/fixtures"
fi
bash "$UPF_ROOT/scripts/sample-upgrade.sh"
upf_say "$UPF_ARCH_NOTE"
