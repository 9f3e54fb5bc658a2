#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds two consumers against it:
# a CMake project through find_package(tonewright), and a one-file program through
# pkg-config. Both must build and run; the CMake consumer is also built against
# the build tree itself (its exported targets, without installing).
#
# TONEWRIGHT_BUILD_DIR names a configured build folder to use (ctest passes its
# own and sets TONEWRIGHT_SKIP_DEPS); a folder that is already configured is
# not configured again, so its build type and options stay as they are.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ -n "${TONEWRIGHT_SKIP_DEPS:-}" ] || "$root/scripts/install-deps.sh"
build=${TONEWRIGHT_BUILD_DIR:-$root/build}
prefix=$(mktemp -d /tmp/tonewright-prefix.XXXXXX)
work=$(mktemp -d /tmp/tonewright-consumer.XXXXXX)
trap 'rm -rf "$prefix" "$work"' EXIT
[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target tonewright >/dev/null
cmake --install "$build" --prefix "$prefix" --component library >/dev/null

cmake -S "$root/tests/package" -B "$work/buildtree" -Dtonewright_DIR="$build" >/dev/null
cmake --build "$work/buildtree" >/dev/null
"$work/buildtree/consumer" "$work/buildtree.wav"

cmake -S "$root/tests/package" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$prefix/lib:$prefix/lib/x86_64-linux-gnu" "$work/cmake/consumer" "$work/cmake.wav" "$prefix/"

libdir=$(dirname "$(find "$prefix" -name 'libtonewright.so' | head -1)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
g++ -std=c++17 -fPIC "$root/tests/package/consumer.cpp" -o "$work/pkgconfig-consumer" $(pkg-config --cflags --libs tonewright)
# Moved after installation: the library still finds its data beside itself.
mv "$prefix" "$prefix.moved"
prefix="$prefix.moved"
libdir=$(dirname "$(find "$prefix" -name 'libtonewright.so' | head -1)")
LD_LIBRARY_PATH="$libdir" "$work/pkgconfig-consumer" "$work/pkgconfig.wav" "$prefix/"
echo "package consumers: OK"
