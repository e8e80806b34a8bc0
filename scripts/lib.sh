# Shared by the scripts: where things are, and the Wine prefixes the tests run in.
# Source it; it defines functions and variables only.

UPF_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
UPF_WINE_DIR=${UPF_WINE_DIR:-$UPF_ROOT/build/wine}

upf_say() { printf '== %s\n' "$*" >&2; }
upf_die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Runs wine in the prefix $1 with a time limit, so that a wedged prefix cannot
# hold a script up for ever. Further arguments: the program and its arguments.
upf_wine() {
  local prefix=$1; shift
  WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} timeout --kill-after=10 "${UPF_WINE_LIMIT:-300}" wine "$@"
}

# Stops the wineserver of prefix $1 (and so every program in it). The server
# writes the registry to disk as it ends; a prefix is copied only after that.
upf_stop_prefix() {
  local prefix=$1
  [ -d "$prefix" ] || return 0
  WINEPREFIX=$prefix timeout 60 wineserver -k 2>/dev/null || true
  WINEPREFIX=$prefix timeout 60 wineserver -w 2>/dev/null || true
}

# Makes a fresh WOW64 prefix at $1 with our stand-ins for the system programs
# that Wine lacks, taken from the built fixtures in $2.
upf_make_template_prefix() {
  local prefix=$1 fixtures=$2 program
  for program in expand.exe timeout.exe; do
    [ -f "$fixtures/$program" ] || upf_die "$fixtures/$program is missing: build the windows preset first"
  done
  upf_stop_prefix "$prefix"
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"

  # mscoree and mshtml disabled: no offer to install Mono or Gecko, and a faster boot.
  local log=$(dirname "$prefix")/boot.log
  if ! WINEARCH=win64 WINEDLLOVERRIDES="mscoree=d;mshtml=d" upf_wine "$prefix" wineboot -i </dev/null >"$log" 2>&1; then
    cat "$log" >&2
    upf_die "wineboot failed for $prefix"
  fi
  [ -d "$prefix/drive_c/windows/syswow64" ] || upf_die "$prefix is not a 64-bit prefix (no syswow64)"

  # No display driver: a message box is then a real modal dialog that another
  # process can find and dismiss, with or without an X server.
  upf_wine "$prefix" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null
  # Wine's builtin expand.exe would win over a file of the same name unless told.
  upf_wine "$prefix" reg add 'HKCU\Software\Wine\DllOverrides' /v expand.exe /d native /f </dev/null >/dev/null
  for program in expand.exe timeout.exe; do
    cp "$fixtures/$program" "$prefix/drive_c/windows/system32/$program"
    cp "$fixtures/$program" "$prefix/drive_c/windows/syswow64/$program"
  done
  upf_check_prefix "$prefix"
  upf_stop_prefix "$prefix"
}

# Proves that the 32-bit cmd (what "wine cmd" starts) and the 64-bit cmd that a
# 32-bit program reaches through C:\windows\sysnative both run, and that both
# find our timeout and expand rather than Wine's. Output goes through a file: a
# wineserver started here would hold a pipe open after the program has ended.
upf_check_prefix() {
  local prefix=$1 output interpreter
  local batch='C:\windows\temp\upf-check.bat' file=$prefix/drive_c/windows/temp/upf-check.txt
  printf '@echo off\r\ntimeout /t 1 /nobreak\r\nif errorlevel 1 exit /b 11\r\nexpand.exe /?\r\nif errorlevel 1 exit /b 12\r\nexit /b 0\r\n' \
    >"$prefix/drive_c/windows/temp/upf-check.bat"
  for interpreter in cmd 'C:\windows\sysnative\cmd.exe'; do
    if [ "$interpreter" = cmd ]; then
      upf_wine "$prefix" cmd /c "$batch" </dev/null >"$file" 2>&1 || upf_die "wine cmd /c failed in $prefix: $(cat "$file")"
    else
      upf_wine "$prefix" cmd /c "$interpreter /c $batch" </dev/null >"$file" 2>&1 ||
        upf_die "$interpreter failed in $prefix: $(cat "$file")"
    fi
    output=$(cat "$file")
    case $output in *"Waiting for 1 seconds"*"UnPackFile test stand-in for expand.exe"*) ;;
      *) upf_die "$interpreter does not reach our timeout and expand: $output" ;; esac
  done
  rm -f "$prefix/drive_c/windows/temp/upf-check.bat" "$file"
}

# Replaces the prefix $2 with a copy of the stopped prefix $1 (a few seconds,
# against a fresh boot's 10 to 20).
upf_copy_prefix() {
  local template=$1 run=$2
  upf_stop_prefix "$template"
  upf_stop_prefix "$run"
  rm -rf "$run"
  mkdir -p "$(dirname "$run")"
  cp -a "$template" "$run"
}

# Configures and builds a CMake preset ("windows" or "native") quietly; on a
# failure shows the end of the output and stops. Extra arguments go to the
# configure step (-DUNPACK_PRODUCT_VERSION=...).
upf_build_preset() {
  local preset=$1; shift
  local logs=$UPF_ROOT/build/logs
  mkdir -p "$logs"
  upf_say "Building the $preset preset"
  if ! (cd "$UPF_ROOT" && cmake --preset "$preset" "$@") >"$logs/configure-$preset.log" 2>&1; then
    tail -n 60 "$logs/configure-$preset.log" >&2
    upf_die "configuring the $preset preset failed (build/logs/configure-$preset.log)"
  fi
  if ! (cd "$UPF_ROOT" && cmake --build --preset "$preset") >"$logs/build-$preset.log" 2>&1; then
    grep -E -A5 'error|FAILED' "$logs/build-$preset.log" | head -n 80 >&2 || tail -n 60 "$logs/build-$preset.log" >&2
    upf_die "building the $preset preset failed (build/logs/build-$preset.log)"
  fi
}

# The unpack.log of the account in prefix $1 (Wine's TEMP is C:\users\<user>\Temp).
upf_log_file() {
  local prefix=$1 file
  for file in "$prefix"/drive_c/users/*/[Tt]emp/unpack.log "$prefix"/drive_c/windows/[Tt]emp/unpack.log; do
    [ -f "$file" ] && { printf '%s\n' "$file"; return 0; }
  done
  return 1
}

# Prints a UTF-16LE file (unpack.log) as UTF-8 text with Unix line ends.
upf_show_utf16() {
  iconv -f UTF-16LE -t UTF-8 "$1" | tr -d '\r'
}
