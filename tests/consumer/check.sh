#!/usr/bin/env bash
# The installed library as another module of the unit uses it: installs a build tree, builds
# kivmodule.c outside the tree against the installed files, through pkg-config and through
# find_package, each linked statically and against the shared library by the C compiler, and runs
# the four programs in the sandbox. A cross build is staged as for the board (DESTDIR, prefix /usr)
# and its programs run under the emulator.
#   check.sh BUILD-DIR C-COMPILER [TOOLCHAIN-FILE EMULATOR [ARG]...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
cc=$2
toolchain=${3:-}
emulator=("${@:4}")
work=$build/consumer
rm -rf "$work"
mkdir -p "$work"

fail() { echo "consumer check: $*" >&2; exit 1; }

if [ -z "$toolchain" ]; then
  stage=$work/prefix
  cmake --install "$build" --prefix "$stage" >"$work/install.log"
else
  stage=$work/root/usr
  DESTDIR=$work/root cmake --install "$build" --prefix /usr >"$work/install.log"
  # The file names /usr, as on the board; the staged tree stands in for it.
  export PKG_CONFIG_SYSROOT_DIR=$work/root
fi
PKG_CONFIG_LIBDIR=$(dirname "$(find "$stage" -name kivcommon.pc)")
export PKG_CONFIG_LIBDIR
libdir=$(dirname "$(find "$stage" -name 'libkivcommon.so.*' -type f)")
cmakedir=$(dirname "$(find "$stage" -name kivtampConfig.cmake)")
echo "installed: $(find "$stage" -type f | wc -l) files under $stage"

# --- pkg-config
strict=(-std=c11 -Wall -Wextra -Wpedantic -Werror)
read -ra cflags <<<"$(pkg-config --cflags kivcommon)"
read -ra libs <<<"$(pkg-config --libs kivcommon)"
read -ra static_libs <<<"$(pkg-config --static --libs kivcommon)"
"$cc" "${strict[@]}" "${cflags[@]}" "$here/kivmodule.c" "${libs[@]}" -o "$work/pkgconfig_shared"
"$cc" "${strict[@]}" "${cflags[@]}" -static "$here/kivmodule.c" "${static_libs[@]}" -o "$work/pkgconfig_static"

# --- find_package, in a project that enables C alone (its output is shown when it fails)
cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -Dkivtamp_DIR="$cmakedir" \
  ${toolchain:+--toolchain "$toolchain"}
cmake --build "$work/cmake"

for prog in pkgconfig_shared pkgconfig_static cmake/kivmodule_shared cmake/kivmodule_static; do
  needed=$(readelf -d "$work/$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | xargs)
  case "$prog:$needed" in
    *libstdc++*) fail "$prog needs the C++ runtime: $needed" ;;
    *_shared:*libkivcommon.so.1*) ;;
    *_shared:*) fail "$prog does not use the shared library: $needed" ;;
    *_static:*libkivcommon*) fail "$prog uses the shared library: $needed" ;;
  esac
  # The emulator hands its environment on to the program. A dispatch loop that waits for ever
  # fails the check at once instead of at the test's time-out.
  out=$("$here/../../sim/sandbox" timeout 30 env "LD_LIBRARY_PATH=$libdir" "${emulator[@]}" "$work/$prog") ||
    fail "$prog failed (exit $?)"
  echo "$prog (needs: ${needed:-nothing}): $out"
done
echo "consumer check passed"
