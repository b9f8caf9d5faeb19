#!/usr/bin/env bash
# Checks what building, testing and benchmarking wavespec needs and installs
# what is missing from Debian's packages when run as root; otherwise prints the
# apt-get line to run. Usage: tools/prerequisites.sh [base|bench|ci|plot]...
set -euo pipefail

declare -A need=()
want() { need[$1]=1; }

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

for set in "${@:-base}"; do
  case "$set" in
    base) want g++; want cmake; want make; want libgtest-dev; want python3; want python3-matplotlib
          want pybind11-dev; want python3-dev; want python3-numpy; want python3-pytest
          want python3-dask; want python3-distributed; want nlohmann-json3-dev
          want libmseed-dev; want pkgconf ;;
    bench) want libbenchmark-dev; want python3-numpy; want python3-scipy; want time
           want libfftw3-dev; want libfast-float-dev ;;
    ci) want clang; want libclang-rt-14-dev; want clang-format; want python3-matplotlib ;;
    plot) want python3-matplotlib ;;
    *) echo "unknown set: $set" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${!need[@]}"; do have_pkg "$p" || missing+=("$p"); done
[ ${#missing[@]} -eq 0 ] && exit 0

IFS=$'\n' missing=($(sort <<<"${missing[*]}")); unset IFS
if [ "$(id -u)" -eq 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "missing packages; run:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
