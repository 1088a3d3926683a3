#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that exactly the
# three programs and their three manual pages land there, and that the
# installed tolvek runs. Given the interpreter that the Python package was
# built for, the package's version and a recording, also checks that the
# package lands in lib/python3/dist-packages, imports from there with its
# xarray backend registered, and decodes the recording.
# Usage: install_test.sh BUILD_DIR [PYTHON VERSION RECORDING]
set -u
build_dir=$1
python=${2:-}
version=${3:-}
recording=${4:-}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

if ! cmake --install "$build_dir" --prefix "$prefix" > "$prefix.log" 2>&1; then
  echo "cmake --install failed:"
  cat "$prefix.log"
  rm -f "$prefix.log"
  exit 1
fi
rm -f "$prefix.log"

status=0
expected="bin/brovik
bin/kesp
bin/tolvek
share/man/man1/brovik.1
share/man/man1/kesp.1
share/man/man1/tolvek.1"
site=lib/python3/dist-packages
if [ -n "$python" ]; then
  suffix=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
  expected=$(LC_ALL=C sort <<EOF
$expected
$site/digisonde16c-$version.dist-info/METADATA
$site/digisonde16c-$version.dist-info/entry_points.txt
$site/digisonde16c-$version.dist-info/top_level.txt
$site/digisonde16c/__init__.py
$site/digisonde16c/__main__.py
$site/digisonde16c/_archive.py
$site/digisonde16c/_core$suffix
$site/digisonde16c/_dataset.py
$site/digisonde16c/_lazy.py
$site/digisonde16c/_mfdataset.py
$site/digisonde16c/_scale.py
$site/digisonde16c/_write.py
$site/digisonde16c/drift.py
$site/digisonde16c/xarray_plugin.py
EOF
)
fi
installed=$(cd "$prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [ "$installed" != "$expected" ]; then
  echo "installed files differ from the expected set:"
  diff <(echo "$expected") <(echo "$installed")
  status=1
fi

for program in tolvek brovik kesp; do
  if [ ! -x "$prefix/bin/$program" ]; then
    echo "$program is not installed as an executable"
    status=1
  fi
done

# The installed program runs on its own: "-h" prints the 17 usage lines.
usage=$("$prefix/bin/tolvek" -h)
usage_status=$?
if [ $usage_status -ne 0 ]; then
  echo "installed tolvek -h ended with status $usage_status"
  status=1
fi
if [ "$(printf '%s\n' "$usage" | head -n 1)" != "  useage: tolvek {-vapsh} {-f #} filename" ] ||
   [ "$(printf '%s\n' "$usage" | wc -l)" -ne 17 ]; then
  echo "installed tolvek -h printed an unexpected usage text:"
  printf '%s\n' "$usage"
  status=1
fi

# The installed package, found through PYTHONPATH alone: imported from the
# prefix, registered with xarray, and decoding the recording (45 groups).
if [ -n "$python" ]; then
  found=$(cd / && PYTHONPATH="$prefix/$site" "$python" -B -c "
import sys, xarray, digisonde16c
print(digisonde16c.__file__)
print('digisonde16c' in xarray.backends.list_engines())
print(xarray.open_dataset(sys.argv[1], engine='digisonde16c').sizes['group'])
" "$recording" 2>&1)
  if [ "$found" != "$(printf '%s\n' "$prefix/$site/digisonde16c/__init__.py" True 45)" ]; then
    echo "the installed Python package did not import and decode as expected:"
    printf '%s\n' "$found"
    status=1
  fi
fi
exit $status
