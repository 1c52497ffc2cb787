#!/bin/sh
# Installs the build into a private prefix, then builds the C application of
# the public-header test against it twice: through pkg-config, and as a CMake
# project with find_package(kpt).  Both must link and run.
#   install_test.sh BUILD_DIR SOURCE_DIR CMAKE C_COMPILER
set -eu
build=$1 src=$2 cmake=$3 cc=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$cmake" --install "$build" --prefix "$tmp/prefix" >/dev/null
for f in include/kpt.h lib/libkpt.a lib/pkgconfig/kpt.pc lib/cmake/kpt/kptConfig.cmake bin/kpt_dump bin/quor_simd \
         lib/libkpt_pcap.so bin/kpt-pcap; do
  test -f "$tmp/prefix/$f" || { echo "missing after install: $f"; exit 1; }
done
# Moved elsewhere: the pkg-config file finds its tree from where it lies.
mv "$tmp/prefix" "$tmp/moved"

export PKG_CONFIG_PATH="$tmp/moved/lib/pkgconfig"
"$cc" -std=c99 -Wall -Werror "$src/tests/programs/c_app.c" $(pkg-config --cflags --libs kpt) -o "$tmp/app_pc"
ZAL_DEV_DIR=/nonexistent "$tmp/app_pc" | grep -q '^api 0x0008 record 40$'

mkdir "$tmp/proj"
cp "$src/tests/programs/c_app.c" "$tmp/proj/"
cat > "$tmp/proj/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.20)
project(app C)
find_package(kpt 3 REQUIRED)
add_executable(app c_app.c)
target_link_libraries(app PRIVATE kpt::kpt)
CM
"$cmake" -S "$tmp/proj" -B "$tmp/proj/build" -DCMAKE_PREFIX_PATH="$tmp/moved" -DCMAKE_C_COMPILER="$cc" >/dev/null
"$cmake" --build "$tmp/proj/build" >/dev/null
ZAL_DEV_DIR=/nonexistent "$tmp/proj/build/app" | grep -q '^api 0x0008 record 40$'
# The launcher preloads the library of its own tree.
"$tmp/moved/bin/kpt-pcap" sh -c 'echo "$LD_PRELOAD"' | grep -q "^$tmp/moved/lib/libkpt_pcap.so"
echo "installed tree builds with pkg-config and find_package"
