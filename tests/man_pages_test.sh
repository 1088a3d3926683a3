#!/usr/bin/env bash
# Renders every manual page with all groff warnings on: any output is a
# fault in the page. Also checks that tolvek.1 documents every option of
# tolvek's usage text. Exits 77 (skipped) when groff is not installed.
# Usage: man_pages_test.sh SOURCE_DIR TOLVEK
set -u
source_dir=$1
tolvek=$2

if ! command -v groff > /dev/null 2>&1; then
  echo "groff is not installed; skipping"
  exit 77
fi

status=0
for page in tolvek brovik kesp; do
  file="$source_dir/man/$page.1"
  if [ ! -f "$file" ]; then
    echo "missing manual page: $file"
    status=1
    continue
  fi
  warnings=$(groff -man -ww -z "$file" 2>&1)
  if [ -n "$warnings" ]; then
    echo "groff warnings for $page.1:"
    echo "$warnings"
    status=1
  fi
  if ! grep -q '^\.SH "EXIT STATUS"' "$file" || ! grep -q '^\.SH EXAMPLES' "$file"; then
    echo "$page.1 lacks an EXIT STATUS or EXAMPLES section"
    status=1
  fi
done

# Every option letter that the usage text lists needs an entry of its own.
options=$("$tolvek" -h | sed -n 's/^ *-\([a-z]\) .*/\1/p')
if [ -z "$options" ]; then
  echo "no options found in the usage text of $tolvek"
  status=1
fi
for letter in $options; do
  if ! grep -q "^\.BI\{0,1\} \\\\-$letter\\b" "$source_dir/man/tolvek.1"; then
    echo "tolvek.1 has no entry for option -$letter"
    status=1
  fi
done
exit $status
