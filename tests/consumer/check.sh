#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed library as another module of the unit uses it: installs a build tree, builds the
# guide's example kivmodule.c outside the tree against the installed files, through pkg-config and
# through find_package, each linked statically and against the shared library by the C compiler
# with exactly the flags they give, and runs the four programs in the sandbox with a stand-in of
# the supervisor (supervisor.sh). A cross build follows README's recipe for the board (staged with
# DESTDIR under /usr, pkg-config pointed at the stage) and its programs run under the emulator.
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
  prefix=$work/prefix
  cmake --install "$build" --prefix "$prefix" >"$work/install.log"
  export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
else
  # README, "For the board":
  sysroot=$work/sysroot
  DESTDIR=$sysroot cmake --install "$build" --prefix /usr >"$work/install.log"
  export PKG_CONFIG_SYSROOT_DIR=$sysroot PKG_CONFIG_LIBDIR=$sysroot/usr/lib/pkgconfig
  prefix=$sysroot/usr
fi
echo "installed: $(find "$prefix" -type f | wc -l) files under $prefix"

# --- pkg-config
read -ra cflags <<<"$(pkg-config --cflags kivcommon)"
read -ra libs <<<"$(pkg-config --libs kivcommon)"
read -ra static_libs <<<"$(pkg-config --static --libs kivcommon)"
strict=(-std=c11 -Wall -Wextra -Wpedantic -Werror)
"$cc" "${strict[@]}" "${cflags[@]}" "$here/kivmodule.c" "${libs[@]}" -o "$work/pkgconfig_shared"
"$cc" "${strict[@]}" "${cflags[@]}" -static "$here/kivmodule.c" "${static_libs[@]}" -o "$work/pkgconfig_static"

# --- find_package, in a project that enables C alone (its output is shown when it fails)
cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -Dkivtamp_DIR="$prefix/lib/cmake/kivtamp" \
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
  # The emulator hands its environment on to the program. A module that never stops fails the
  # check at once instead of at the test's time-out.
  "$here/../../sim/sandbox" timeout 30 env "LD_LIBRARY_PATH=$prefix/lib" \
    "$here/supervisor.sh" "${emulator[@]}" "$work/$prog" || fail "$prog failed (exit $?)"
  echo "$prog (needs: ${needed:-nothing}): started, served three commands, stopped"
done
echo "consumer check passed"
