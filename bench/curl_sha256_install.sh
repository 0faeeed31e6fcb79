#!/bin/sh
# The "curl + sha256sum" peer of the benchmark: installs the files of a sha256sum
# check list from BASE_URL into TARGET as a careful script would. Files already
# valid are kept; the others are fetched by one curl (one connection, one file
# at a time) and then checked.
#   curl_sha256_install.sh BASE_URL CHECK_LIST TARGET
set -eu
base="$1"
list=$(realpath "$2")
target="$3"
mkdir -p "$target"
cd "$target"
todo=$(mktemp)
trap 'rm -f "$todo" "$todo.curl" "$todo.check"' EXIT

# Missing or wrong files are the ones to fetch.
sha256sum -c --quiet "$list" 2>/dev/null | sed -n 's/: FAILED.*$//p' >"$todo" || true
[ -s "$todo" ] || exit 0

sed 's|.*|url = "'"$base"'/&"\noutput = "&"|' "$todo" >"$todo.curl"
curl -sS --fail --noproxy '*' --create-dirs -K "$todo.curl"
grep -F -f "$todo" "$list" >"$todo.check"
sha256sum -c --quiet "$todo.check"
