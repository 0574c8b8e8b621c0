#!/bin/sh
# Installs kel from a build into a scratch prefix and builds, with CMake's
# find_package(kel) as a third party would, an external (kel::sdk) and a
# program hosting a patch (kel::kel), then runs that program.
# Usage: cmake_package.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
# A sanitizer build's library needs the sanitizer's runtime in the program
# that loads it; a plain program cannot host it, so only the external is built.
library=$(find "$scratch/prefix" -name 'libkel.so*' -type f | head -n 1)
host=yes
if nm -D --undefined-only "$library" | grep -q ' U __[at]san_'; then host=no; fi
mkdir "$scratch/project"
cat >"$scratch/project/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(uses_kel C)
find_package(kel 0.1 REQUIRED)
add_library(scaler MODULE "$source/examples/externals/scaler.c")
target_link_libraries(scaler PRIVATE kel::sdk)
set_target_properties(scaler PROPERTIES PREFIX "" SUFFIX \${KEL_EXTERNAL_SUFFIX})
CMAKE
[ "$host" = no ] || cat >>"$scratch/project/CMakeLists.txt" <<CMAKE
add_executable(host "$source/tests/host/host_check.c")
target_link_libraries(host PRIVATE kel::kel)
CMAKE
cmake -S "$scratch/project" -B "$scratch/project/build" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/project/build" >/dev/null
[ -f "$scratch/project/build/scaler.kle" ] || { echo "no scaler.kle built" >&2; exit 1; }
nm -D --undefined-only "$scratch/project/build/scaler.kle" | grep -q ' U outlet_new\| U floatout\| U class_new' ||
    { echo "the external does not leave the kernel's functions to the host" >&2; exit 1; }
if ldd "$scratch/project/build/scaler.kle" | grep -q libkel; then
    echo "the external links the kel library" >&2
    exit 1
fi
if [ "$host" = no ]; then
    echo "find_package(kel) built an external (a sanitizer build: no host)"
    exit 0
fi
mkdir "$scratch/run"
"$scratch/project/build/host" "$scratch/run"
echo "find_package(kel) built an external and a host, and the host ran a patch"
