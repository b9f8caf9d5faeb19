#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds the examples against it
# with find_package(wavespec), and checks analyse_record against the dialogue.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
prefix=$(mktemp -d) work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/wavespec bin/wavespec-merge bin/wavespec-plot share/man/man1/wavespec.1 \
         share/man/man1/wavespec-merge.1 share/man/man1/wavespec-plot.1 \
         include/wavespec/wavespec.hpp include/wavespec/version.hpp lib/libwavespec.a; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
# Only the public face: headers under include/wavespec, libraries libwavespec*.
stray=$(cd "$prefix" && find include lib -type f ! -path 'include/wavespec/*' \
        ! -name 'libwavespec*' ! -path 'lib/cmake/wavespec/*' ! -path 'lib/python3*/dist-packages/wavespec/*')
[ -z "$stray" ] || { echo "installed outside the public face: $stray"; exit 1; }
cmake -S "$source/examples" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/spectrum_example" | tee "$work/out.txt"
grep -q "peak at 4.98047 Hz" "$work/out.txt" # the bin nearest 5 Hz

cp "$source/data/sf1295.txt" "$work/w.txt"
cd "$work"
checked=0
for answers in "0 0" "1 0.5" "2 0.2" "3 1.5"; do
  set -- $answers
  printf 'w.txt\n%s\n%s\ndialogue.csv\n' "$1" "$2" | "$prefix/bin/wavespec" >/dev/null
  "$work/build/analyse_record" w.txt "$1" "$2" library.csv
  cmp dialogue.csv library.csv
  checked=$((checked + 1))
done
printf 'h\n0 1 2 3\n0.01 1 x 3\n' > bad.txt
if "$work/build/analyse_record" bad.txt 0 0 bad.csv 2>err.txt; then
  echo "a malformed record was analysed"; exit 1
fi
grep -q "^analyse_record: bad.txt: line 3: invalid number$" err.txt
[ ! -e bad.csv ] || { echo "a malformed record left a file"; exit 1; }
# The Python package, where the prefix puts it, writes the same file.
site=$(ls -d "$prefix"/lib/python3*/dist-packages 2>/dev/null || true)
if [ -n "$site" ]; then
  PYTHONPATH="$site" /usr/bin/python3 -c 'import wavespec; wavespec.analyse(wavespec.read_waveform("w.txt"), 2, 0.2).to_csv("python.csv")'
  printf 'w.txt\n2\n0.2\ndialogue.csv\n' | "$prefix/bin/wavespec" >/dev/null
  cmp dialogue.csv python.csv
  checked=$((checked + 1))
fi
echo "$((checked + 2)) passed, 0 failed"
