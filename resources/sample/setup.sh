#!/bin/sh
# The sample installer: it installs nothing, it shows what it was given.
here=$(dirname "$0")
echo "Mirelk sample installer"
echo "  started as:        $0"
echo "  working directory: $(pwd)"
if [ $# -eq 0 ]; then
  echo "  arguments:         none"
else
  i=1
  for arg in "$@"; do
    echo "  argument $i:        [$arg]"
    i=$((i + 1))
  done
fi
echo "  files beside me:"
for file in "$here"/*; do
  printf '    %-14s %8s bytes\n' "$(basename "$file")" "$(wc -c < "$file" | tr -d ' ')"
done
