#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the example program
# against it with find_package(wavespec). Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
prefix=$(mktemp -d) work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/wavespec bin/wavespec-merge bin/wavespec-plot share/man/man1/wavespec.1 include/wavespec/spectrum.hpp; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
cmake -S "$source/examples" -B "$work" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work" >/dev/null
"$work/spectrum_example" | tee "$work/out.txt"
grep -q "peak at 4.98047 Hz" "$work/out.txt" # the bin nearest 5 Hz
echo "1 passed, 0 failed"
