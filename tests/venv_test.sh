#!/usr/bin/env bash
# The Python package as a user installs it with pip: a virtual environment
# that sees the interpreter's own packages (numpy, xarray, ...), the package
# pip-installed from a copy of the source tree without a registry, its
# console script on the environment's PATH, the package imported from
# another folder, and a clean uninstall.
# Usage: venv_test.sh SOURCE_DIR PYTHON VERSION RECORDING
set -u
source_dir=$1
python=$2
version=$3
recording=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Nothing of the build tree's package may be seen.
unset PYTHONPATH PYTHONHOME

fail() {
  echo "$*"
  exit 1
}

# A copy of what pip needs, so that its build leaves the source tree as it is.
mkdir "$work/src"
(cd "$source_dir" && cp -R pyproject.toml setup.py MANIFEST.in VERSION README.md blockio decoder \
  "$work/src/") || fail "cannot copy the sources"
mkdir "$work/src/python"
cp -R "$source_dir/python/digisonde16c" "$source_dir/python/module" "$work/src/python/"

"$python" -m venv --system-site-packages --without-pip "$work/venv" ||
  fail "cannot make a virtual environment"
venv_python=$work/venv/bin/python
pip=("$venv_python" -m pip --disable-pip-version-check --no-input --no-cache-dir)
if ! "${pip[@]}" install --no-build-isolation --no-index --root-user-action=ignore \
    "$work/src" > "$work/install.log" 2>&1; then
  cat "$work/install.log"
  fail "pip install failed"
fi

# The console script, found on the environment's PATH, runs each command.
export PATH=$work/venv/bin:$PATH
[ "$(command -v digisonde16c)" = "$work/venv/bin/digisonde16c" ] ||
  fail "digisonde16c is not on the PATH of the environment: $(command -v digisonde16c)"
digisonde16c --help > "$work/help" 2>&1 || { cat "$work/help"; fail "digisonde16c --help failed"; }
for command in netcdf convert summary; do
  grep -q "^    $command " "$work/help" || { cat "$work/help"; fail "--help lists no $command"; }
done
[ "$(digisonde16c --version)" = "digisonde16c $version" ] ||
  fail "digisonde16c --version printed $(digisonde16c --version)"
digisonde16c netcdf "$recording" "$work/sample.nc" || fail "digisonde16c netcdf failed"

# Imported from another folder, from the environment, with its xarray
# backend; the console script's file reads back to the recording.
found=$(cd "$work" && "$venv_python" -B -c "
import sys, xarray, digisonde16c
print(digisonde16c.__file__.startswith(sys.prefix + '/'), digisonde16c.__version__)
print('digisonde16c' in xarray.backends.list_engines())
print(xarray.open_dataset('sample.nc').identical(digisonde16c.open_dataset(sys.argv[1])))
" "$recording" 2>&1)
[ "$found" = "$(printf 'True %s\nTrue\nTrue' "$version")" ] ||
  fail "the installed package did not import and read back as expected:
$found"

# Uninstalled: no file of the package is left in the environment.
"${pip[@]}" uninstall -y digisonde16c > "$work/uninstall.log" 2>&1 ||
  { cat "$work/uninstall.log"; fail "pip uninstall failed"; }
left=$(cd "$work/venv" && find . -name '*digisonde16c*' | LC_ALL=C sort)
[ -z "$left" ] || fail "pip uninstall left files of the package behind:
$left"
exit 0
