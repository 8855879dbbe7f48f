#!/bin/sh
# The example's installer: copies what the setup carries into the folder
# given as its first argument.
set -e
[ $# -ge 1 ] || { echo "usage: setup FOLDER" >&2; exit 2; }
here=$(dirname "$0")
mkdir -p "$1"
cp -R "$here/readme.txt" "$here/data" "$1/"
