#!/bin/sh
# Installs the SDK from a build into a scratch prefix and builds an example
# external against it with pkg-config, as a third party would.
# Usage: build_outside.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
pcdir=$(dirname "$(find "$scratch/prefix" -name kel.pc | head -n 1)")
[ -f "$pcdir/kel.pc" ] || { echo "no kel.pc installed" >&2; exit 1; }
export PKG_CONFIG_PATH="$pcdir"
cflags=$(pkg-config --cflags kel)
suffix=$(pkg-config --variable=external_suffix kel)

cc -std=c11 -pedantic -Wall -Wextra -Wstrict-prototypes -Werror -shared -fPIC $cflags \
    "$source/examples/externals/scaler.c" -o "$scratch/scaler$suffix"
nm -D --defined-only "$scratch/scaler$suffix" | grep -q ' T main$' || { echo "main not exported" >&2; exit 1; }
nm -D --defined-only "$scratch/scaler$suffix" | grep -q ' kel_external_sdk$' || { echo "no SDK stamp" >&2; exit 1; }
echo "built scaler$suffix outside the tree"
