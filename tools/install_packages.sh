#!/usr/bin/env bash
# Installs the Debian packages of the groups named on the command line, when
# any of them is missing. As root it runs apt-get; as another user it prints
# the command to run and fails. Add a package as one more line in its group.
#
#   install_packages.sh [GROUP...]   GROUP: core (the default), pictures,
#                                    bench, fuzz, or all of them: all
#
# core is what the build and the tests need (`make test` installs it); the
# tests that need a package of pictures are reported as skipped by ctest
# without it. bench is for `make bench`, fuzz for `make fuzz`; .ci/run
# installs all.
set -euo pipefail

# The build: a C++17 compiler, make, CMake and GoogleTest; the Python
# package (pybind11 module) and its tests, NetCDF, archives on Dask; groff
# for the manual page test; python3 for the documentation test.
core=(
  cmake
  g++
  make
  libgtest-dev
  groff-base
  python3
  python3-dev
  pybind11-dev
  python3-numpy
  python3-xarray
  python3-netcdf4
  python3-pytest
  netcdf-bin
  # pip-installing the package into a virtual environment (its test).
  python3-pip
  python3-venv
  python3-setuptools
  python3-pybind11
  python3-dask
  python3-distributed
  python3-zarr
)
# Pictures: the gnuplot script test draws PNG files; the matplotlib example
# and its test.
pictures=(
  gnuplot-nox
  fonts-liberation
  python3-matplotlib
)
# The benchmarks: Google Benchmark, and GNU time for the peak memory.
bench=(
  libbenchmark-dev
  time
)
# The fuzz run: clang with libFuzzer.
fuzz=(
  clang
  libclang-rt-dev
)

groups=("$@")
if ((${#groups[@]} == 0)); then
  groups=(core)
fi
packages=()
for group in "${groups[@]}"; do
  case $group in
    core) packages+=("${core[@]}") ;;
    pictures) packages+=("${pictures[@]}") ;;
    bench) packages+=("${bench[@]}") ;;
    fuzz) packages+=("${fuzz[@]}") ;;
    all) packages+=("${core[@]}" "${pictures[@]}" "${bench[@]}" "${fuzz[@]}") ;;
    *)
      echo "install_packages.sh: unknown group $group (core, pictures, bench, fuzz, all)" >&2
      exit 2
      ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$package")
  fi
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

command="apt-get install -y --no-install-recommends ${missing[*]}"
if ((EUID != 0)); then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them as root, then run this again:" >&2
  echo "  apt-get update && $command" >&2
  exit 1
fi
echo "Installing the missing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=300 update
apt-get -o DPkg::Lock::Timeout=300 install -y --no-install-recommends "${missing[@]}"
