#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the benchmarks, the
# Python package and the fuzz run need, when any of them is missing. As root
# it runs apt-get; as another user it prints the command to run and fails.
# `make test` and .ci/run call it. Add a package as one more line below.
set -euo pipefail

packages=(
  # The build: a C++17 compiler, make, CMake, GoogleTest, Google Benchmark.
  cmake
  g++
  make
  libgtest-dev
  libbenchmark-dev
  # The manual page test renders the pages with groff.
  groff-base
  # The gnuplot script test draws PNG pictures and checks them with python3.
  gnuplot-nox
  fonts-liberation
  python3
  # The Python package (pybind11 module) and its tests, NetCDF tools and
  # the matplotlib example.
  python3-dev
  pybind11-dev
  python3-numpy
  python3-xarray
  python3-netcdf4
  python3-pytest
  netcdf-bin
  python3-matplotlib
  # pip-installing the package into a virtual environment (its test).
  python3-pip
  python3-setuptools
  python3-pybind11
  # Archives on Dask: open_mfdataset, convert and summary, and their tests.
  python3-dask
  python3-distributed
  python3-zarr
  # The fuzz run: clang with libFuzzer.
  clang
  libclang-rt-dev
)

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
