# Shared by the scripts: where things are, and the Wine prefixes the tests run in.
# Source it; it defines functions and variables only.

UPF_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
UPF_WINE_DIR=${UPF_WINE_DIR:-$UPF_ROOT/build/wine}
# Wine takes only an absolute WINEPREFIX: a relative prefix is taken from the current folder.
[ -z "${UNPACK_WINEPREFIX:-}" ] || UNPACK_WINEPREFIX=$(realpath -m -- "$UNPACK_WINEPREFIX")

upf_say() { printf '== %s\n' "$*" >&2; }
upf_die() { printf 'error: %s\n' "$*" >&2; exit 1; }

UPF_WINE32_LOADER=/usr/lib/wine/wine
UPF_WINE64_LOADER=/usr/lib/wine/wine64

# True when this host runs 32-bit x86 programs. The 32-bit Wine loader is one:
# on a kernel without IA-32 emulation it fails with "Exec format error".
upf_host_runs_32bit() {
  [ -x "$UPF_WINE32_LOADER" ] && timeout 20 "$UPF_WINE32_LOADER" --version >/dev/null 2>&1
}

# True unless the kernel refuses 32-bit x86 programs ("Exec format error"),
# asked without any 32-bit package: a 93-byte i386 program that exits 0.
upf_kernel_runs_32bit() {
  local dir error
  dir=$(mktemp -d) || return 0
  printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0%b' \
    '\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x5d\0\0\0\x5d\0\0\0\x05\0\0\0\0\x10\0\0\xb8\x01\0\0\0\x31\xdb\xcd\x80' \
    >"$dir/probe"
  chmod +x "$dir/probe"
  error=$("$dir/probe" 2>&1 >/dev/null)
  rm -rf "$dir"
  case $error in *"Exec format error"*) return 1 ;; esac
  return 0
}

# Chooses the build the tests run, once, and says why. Sets and exports
#   UPF_ARCH       x86 (the shipped 32-bit build) or x64 (the x86-64 build)
#   UPF_PRESET     the CMake preset of that build, UPF_BUILD its build folder
#   UPF_ARCH_NOTE  one line for the first lines and the summary
#   UPF_WINE_LOADER the Wine loader for that build (see upf_run_wine)
# The 32-bit build is tested wherever the host can run it; UNPACK_ARCH=x86 or
# x64 forces a build, and forcing x86 where it cannot run fails at once.
# With the argument "run" (the demo and the benchmarks) the note says which
# build ran rather than which was tested; with "prefix" (make-prefix.sh), which
# build's prefix is made. Call after scripts/setup.sh, which
# installs Wine.
upf_choose_arch() {
  local purpose=${1:-test} runs32=yes
  upf_host_runs_32bit || runs32=no
  case ${UNPACK_ARCH:-} in
    "") if [ $runs32 = yes ]; then UPF_ARCH=x86; else UPF_ARCH=x64; fi ;;
    x86)
      [ $runs32 = yes ] ||
        upf_die "UNPACK_ARCH=x86, but this host cannot run 32-bit x86 code (kernel without IA-32 emulation)"
      UPF_ARCH=x86 ;;
    x64) UPF_ARCH=x64 ;;
    *) upf_die "UNPACK_ARCH must be x86 or x64, not '$UNPACK_ARCH'" ;;
  esac
  local host="this host runs 32-bit x86 code"
  if [ $runs32 = no ]; then
    host="this host cannot run 32-bit x86 code (kernel without IA-32 emulation)"
    [ -e "$UPF_WINE32_LOADER" ] || host="this host has no 32-bit Wine (wine32 is not installed)"
  fi
  [ -z "${UNPACK_ARCH:-}" ] || host="UNPACK_ARCH=$UNPACK_ARCH"
  if [ $UPF_ARCH = x86 ]; then
    UPF_PRESET=windows
    UPF_WINE_LOADER=wine
    if [ "$purpose" = run ]; then
      UPF_ARCH_NOTE="$host: ran the shipped 32-bit build"
    elif [ "$purpose" = prefix ]; then
      UPF_ARCH_NOTE="$host: a WOW64 prefix with the shipped 32-bit build's stand-ins"
    else
      UPF_ARCH_NOTE="$host: tested the shipped 32-bit build, and the x86-64 build's unit tests"
    fi
  else
    UPF_PRESET=windows-x64
    UPF_WINE_LOADER=$UPF_WINE64_LOADER
    if [ "$purpose" = run ]; then
      UPF_ARCH_NOTE="$host: ran the x86-64 build; the shipped 32-bit build was not run"
    elif [ "$purpose" = prefix ]; then
      UPF_ARCH_NOTE="$host: a 64-bit prefix with the x86-64 build's stand-ins"
    else
      UPF_ARCH_NOTE="$host: tested the x86-64 build; the shipped 32-bit build was not run"
    fi
  fi
  UPF_BUILD=$UPF_ROOT/build/$UPF_PRESET
  export UPF_ARCH UPF_PRESET UPF_BUILD UPF_ARCH_NOTE UPF_WINE_LOADER
  upf_say "$UPF_ARCH_NOTE"
}

# The command that runs Wine with the loader of the chosen build, into the
# array UPF_WINE_CMD: Debian's "wine", which runs the 32-bit loader and starts
# 64-bit programs as well, or the 64-bit loader itself, called directly since
# the wrapper picks the 32-bit one whenever wine32 is installed. Without a
# choice made (upf_choose_arch), the host decides.
upf_wine_command() {
  local loader=${UPF_WINE_LOADER:-}
  if [ -z "$loader" ]; then
    if upf_host_runs_32bit; then loader=wine; else loader=$UPF_WINE64_LOADER; fi
  fi
  if [ "$loader" = wine ]; then
    UPF_WINE_CMD=(wine)
  else
    UPF_WINE_CMD=(env "WINELOADER=$loader" "$loader")
  fi
}

# Runs Wine as upf_wine_command says, in the environment's prefix.
upf_run_wine() {
  upf_wine_command
  "${UPF_WINE_CMD[@]}" "$@"
}

# Runs wine in the prefix $1 with a time limit, so that a wedged prefix cannot
# hold a script up for ever. Further arguments: the program and its arguments.
upf_wine() {
  local prefix=$1; shift
  upf_wine_command
  WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} timeout --kill-after=10 "${UPF_WINE_LIMIT:-300}" \
    "${UPF_WINE_CMD[@]}" "$@"
}

# Stops the wineserver of prefix $1 (and so every program in it). The server
# writes the registry to disk as it ends; a prefix is copied only after that.
upf_stop_prefix() {
  local prefix=$1
  [ -d "$prefix" ] || return 0
  WINEPREFIX=$prefix timeout 60 wineserver -k 2>/dev/null || true
  WINEPREFIX=$prefix timeout 60 wineserver -w 2>/dev/null || true
}

# Makes a fresh prefix at $1 with our stand-ins for the system programs that
# Wine lacks, taken from the built fixtures in $2: a WOW64 prefix, or with $3 =
# win32 a 32-bit Windows without WOW64 (no syswow64, no sysnative), where only
# 32-bit programs run.
upf_make_template_prefix() {
  local prefix=$1 fixtures=$2 winearch=${3:-win64} program folder folders=(system32 syswow64)
  for program in expand.exe timeout.exe; do
    [ -f "$fixtures/$program" ] || upf_die "$fixtures/$program is missing: build the windows preset first"
  done
  upf_stop_prefix "$prefix"
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"

  # mscoree and mshtml disabled: no offer to install Mono or Gecko, and a faster boot.
  local log=$(dirname "$prefix")/boot.log
  if ! WINEARCH=$winearch WINEDLLOVERRIDES="mscoree=d;mshtml=d" upf_wine "$prefix" wineboot -i </dev/null >"$log" 2>&1; then
    cat "$log" >&2
    upf_die "wineboot failed for $prefix"
  fi
  if [ "$winearch" = win32 ]; then
    [ ! -d "$prefix/drive_c/windows/syswow64" ] || upf_die "$prefix is not a 32-bit prefix (it has syswow64)"
    folders=(system32)
  else
    [ -d "$prefix/drive_c/windows/syswow64" ] || upf_die "$prefix is not a 64-bit prefix (no syswow64)"
  fi
  # Booted by the 64-bit loader alone (the x86-64 build), the 32-bit half of
  # the prefix stays empty: nothing 32-bit runs in it.

  # No display driver: a message box is then a real modal dialog that another
  # process can find and dismiss, with or without an X server.
  upf_wine "$prefix" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null
  # Wine's builtin expand.exe would win over a file of the same name unless told.
  upf_wine "$prefix" reg add 'HKCU\Software\Wine\DllOverrides' /v expand.exe /d native /f </dev/null >/dev/null
  # The stand-ins are of the build under test; in system32 they serve 64-bit
  # programs and in syswow64 32-bit ones. The cmd of either kind runs either.
  # In a 32-bit prefix system32 holds the 32-bit programs.
  for program in expand.exe timeout.exe; do
    for folder in "${folders[@]}"; do cp "$fixtures/$program" "$prefix/drive_c/windows/$folder/$program"; done
  done
  upf_check_prefix "$prefix" "$winearch"
  upf_stop_prefix "$prefix"
  # Which build's stand-ins it holds, so that a script can tell whether it fits
  # ("win32" for the 32-bit prefix).
  if [ "$winearch" = win32 ]; then echo win32; else echo "${UPF_ARCH:-x86}"; fi >"$prefix/.upf-arch"
}

# The 32-bit prefix (WINEARCH=win32) beside the run prefix, in which the tests
# that need 32-bit Windows without WOW64 run (ctest's scenario_tests_win32).
upf_win32_prefix() {
  printf '%s\n' "${UNPACK_WINEPREFIX32:-$(dirname "${UNPACK_WINEPREFIX:-$UPF_WINE_DIR/run}")/run32}"
}

# Proves that the interpreters the unpacker starts run and find our timeout and
# expand rather than Wine's: "wine cmd" is the 32-bit cmd, and a 32-bit program
# reaches the 64-bit one through C:\windows\sysnative; with the 64-bit loader
# alone, "cmd" is the 64-bit one, which the x86-64 build starts directly; in a
# 32-bit prefix ($2 = win32) "cmd" is the only one.
# Output goes through a file: a wineserver started here would hold a pipe open
# after the program has ended.
upf_check_prefix() {
  local prefix=$1 output interpreter interpreters=(cmd 'C:\windows\sysnative\cmd.exe')
  local batch='C:\windows\temp\upf-check.bat' file=$prefix/drive_c/windows/temp/upf-check.txt
  { [ "${UPF_ARCH:-}" = x64 ] || [ "${2:-}" = win32 ]; } && interpreters=(cmd)
  printf '@echo off\r\ntimeout /t 1 /nobreak\r\nif errorlevel 1 exit /b 11\r\nexpand.exe /?\r\nif errorlevel 1 exit /b 12\r\nexit /b 0\r\n' \
    >"$prefix/drive_c/windows/temp/upf-check.bat"
  for interpreter in "${interpreters[@]}"; do
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

# Configures and builds a CMake preset ("windows", "windows-x64" or "native")
# quietly; on a failure shows the end of the output and stops. "--target NAME"
# builds only that target; other extra arguments go to the configure step
# (-DUNPACK_PRODUCT_VERSION=...).
upf_build_preset() {
  local preset=$1; shift
  local logs=$UPF_ROOT/build/logs configure=() build=()
  while [ $# -gt 0 ]; do
    if [ "$1" = --target ] && [ $# -ge 2 ]; then build+=(--target "$2"); shift 2; else configure+=("$1"); shift; fi
  done
  mkdir -p "$logs"
  upf_say "Building the $preset preset${build[*]:+ (${build[*]})}"
  if ! (cd "$UPF_ROOT" && cmake --preset "$preset" "${configure[@]}") >"$logs/configure-$preset.log" 2>&1; then
    tail -n 60 "$logs/configure-$preset.log" >&2
    upf_die "configuring the $preset preset failed (build/logs/configure-$preset.log)"
  fi
  if ! (cd "$UPF_ROOT" && cmake --build --preset "$preset" "${build[@]}") >"$logs/build-$preset.log" 2>&1; then
    grep -E -A5 'error|FAILED' "$logs/build-$preset.log" | head -n 80 >&2 || tail -n 60 "$logs/build-$preset.log" >&2
    upf_die "building the $preset preset failed (build/logs/build-$preset.log)"
  fi
}

# Where the host and its updater keep what the unpacker reads and writes: below
# HKEY_LOCAL_MACHINE in its 32-bit view (reg ... /reg:32), as the 32-bit host does.
UPF_HOST_KEY='HKLM\Software\Kestrune Inc.\Kestrune Remote Server'
UPF_UPDATER_KEY='HKLM\Software\Kestrune Inc.\Kestrune Software Updater\Platforms\PLVA00\Products\SVR'

# "Installs" host version $2 in prefix $1 as far as the unpacker can tell: the
# host's Version and CloudAutoUpdateStatus, and the updater's InstallType.
upf_install_host() {
  local prefix=$1 version=$2
  upf_wine "$prefix" reg add "$UPF_HOST_KEY" /v Version /d "$version" /f /reg:32 </dev/null >/dev/null
  upf_wine "$prefix" reg add "$UPF_HOST_KEY" /v CloudAutoUpdateStatus /t REG_DWORD /d 1 /f /reg:32 </dev/null >/dev/null
  upf_wine "$prefix" reg add "$UPF_UPDATER_KEY" /v InstallType /d Silent /f /reg:32 </dev/null >/dev/null
}

# Makes prefix $1 a fresh copy of the template prefix with the stand-ins for the
# chosen build (upf_choose_arch), making the template first when it is missing
# or holds the other build's stand-ins.
upf_fresh_prefix() {
  local prefix=$1
  [ "$(cat "$UPF_WINE_DIR/template/.upf-arch" 2>/dev/null)" = "$UPF_ARCH" ] ||
    UNPACK_WINEPREFIX=$UPF_WINE_DIR/run "$UPF_ROOT/scripts/make-prefix.sh" "$UPF_BUILD/fixtures"
  upf_copy_prefix "$UPF_WINE_DIR/template" "$prefix"
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
