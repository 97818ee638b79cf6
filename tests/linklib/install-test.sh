#!/usr/bin/env bash
# Installs libquillet into a temporary prefix and builds two outside programs against it: one
# through the CMake package, one through pkg-config. Then runs them.
#   install-test.sh BUILD_DIR SOURCE_DIR [LINK_FLAGS]
set -euo pipefail
build=$1
src=$2
flags=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build/linklib" --prefix "$work/prefix" >/dev/null
# lib/, or lib/<multiarch>/ when the build is configured for /usr
lib=$(dirname "$(find "$work/prefix" -name libquillet.so.3 | head -n1)")
[ "$lib" != . ] || { echo "no libquillet.so.3"; exit 1; }
test -L "$lib/libquillet.so" || { echo "no libquillet.so link"; exit 1; }
test ! -e "$work/prefix/include/quillet/LinkChannel.h" || { echo "internal header installed"; exit 1; }

cmake -S "$src" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$lib" "$work/consumer/consumer"

export PKG_CONFIG_PATH="$lib/pkgconfig"
# shellcheck disable=SC2046
c++ $flags -o "$work/pc-consumer" "$src/main.cpp" $(pkg-config --cflags --libs quillet)
LD_LIBRARY_PATH="$lib" "$work/pc-consumer"
echo "install test: 2 passed, 0 failed"
