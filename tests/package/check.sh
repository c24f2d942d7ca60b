#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and builds a tiny host
# against it twice: through find_package(poshark) and through pkg-config.
#   tests/package/check.sh BUILD-DIR
set -euo pipefail

build_dir=$(realpath "${1:?usage: check.sh BUILD-DIR}")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" > "$work/install.log"
libdir=$(dirname "$(find "$prefix" -name 'libposhark.so' | head -n1)")
export POSHARK_HOME="$work/home" POSHARK_WORKDIR="$work/home"
mkdir -p "$POSHARK_HOME"

echo "== find_package(poshark)"
cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" > "$work/configure.log"
cmake --build "$work/cmake-build" -j2 > "$work/build.log"
LD_LIBRARY_PATH="$libdir" "$work/cmake-build/package_host"

echo "== pkg-config poshark"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
g++ -o "$work/pc_host" "$here/host.cpp" $(pkg-config --cflags --libs poshark)
LD_LIBRARY_PATH="$libdir" "$work/pc_host"
echo "package check passed"
