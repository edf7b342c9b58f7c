#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, checks what landed there, and
# builds a small host program against it with pkg-config and with
# find_package. Usage: check_install.sh BUILD_DIR WORK_DIR LIBDIR
set -euo pipefail
build=$1 work=$2 libdir=$3
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for f in "$libdir/libzr_quorva.so" "$libdir/libzr_quorva.so.1" include/zr_quorva.h bin/quorva \
         "$libdir/pkgconfig/zr_quorva.pc" "$libdir/cmake/zr_quorva/zr_quorvaConfig.cmake" \
         "$libdir/cmake/zr_quorva/zr_quorvaConfigVersion.cmake"; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
"$prefix/bin/quorva" --version

export LD_LIBRARY_PATH=$prefix/$libdir
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror "$here/host.c" -o "$work/host_pkgconfig" $(pkg-config --cflags --libs zr_quorva)
"$work/host_pkgconfig"
[ "$(pkg-config --modversion zr_quorva)" = "$(sed -n 's/^quorva \([^ ]*\).*/\1/p' <<<"$("$prefix/bin/quorva" --version)")" ]

# The C example of the README builds as written and reports a missing model.
readme=$here/../../README.md
sed -n '/^## Using the library/,/^## /p' "$readme" | sed -n '/^```c$/,/^```$/{p;/^```$/q}' | sed '1d;$d' >"$work/diarize.c"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror "$work/diarize.c" $(pkg-config --cflags --libs zr_quorva) -o "$work/diarize"
if "$work/diarize" "$work/missing.zr" audio.wav 2>"$work/diarize.err"; then
  echo "README example succeeded without a model"; exit 1
fi
grep -q "IO_ERROR" "$work/diarize.err"
grep -q "Failed to open file" "$work/diarize.err"

cmake -S "$here" -B "$work/host-build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/host-configure.log"
cmake --build "$work/host-build" >"$work/host-build.log"
"$work/host-build/host"
echo "install check passed"
