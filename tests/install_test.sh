#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that exactly the
# three programs and their three manual pages land there, and that the
# installed tolvek runs.
# Usage: install_test.sh BUILD_DIR
set -u
build_dir=$1
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
exit $status
