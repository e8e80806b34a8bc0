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
upf_build_preset windows
upf_build_preset native

if [ ! -d "$UPF_WINE_DIR/template" ]; then
  UNPACK_WINEPREFIX=$UPF_WINE_DIR/run "$UPF_ROOT/scripts/make-prefix.sh" "$UPF_ROOT/build/windows/fixtures"
fi
exec bash "$UPF_ROOT/scripts/sample-upgrade.sh"
