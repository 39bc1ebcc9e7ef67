#!/bin/sh
# Installs the build into a temporary prefix, then configures, builds and runs
# the example consumer against that prefix alone, and checks the installed
# programs and manual pages.
# usage: check_install.sh BUILD_DIR SOURCE_DIR GENERATOR CXX_COMPILER
set -eu
build=$1 source=$2 generator=$3 compiler=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/texture-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > "$work/install.log"
for file in bin/texture bin/nlmeans bin/pgmquality bin/leafmosaics include/texture/CNLMeans.h \
    share/man/man1/texture.1 share/man/man1/nlmeans.1 share/man/man1/pgmquality.1; do
  [ -e "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
"$prefix/bin/texture" --version | grep -q '^texture (texture) [0-9]'

cmake -S "$source/examples/consumer" -B "$work/consumer" -G "$generator" -DCMAKE_CXX_COMPILER="$compiler" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" > "$work/configure.log" ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$work/consumer" > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
mkdir "$work/images"
"$work/consumer/consumer" "$work/images"
[ -s "$work/images/denoised.pgm" ] || { echo "the consumer wrote no image"; exit 1; }
