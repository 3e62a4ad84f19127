#!/usr/bin/env bash
# Makes a self-extracting installer archive: an executable stub followed by
# a zip archive of the named entries of DIR, in the order given (all of
# DIR's entries, sorted, when none are named).
#   make_sfx.sh STUB OUTPUT DIR [NAME...]
set -euo pipefail
stub=$1 output=$2 dir=$3
shift 3
if (($# == 0)); then
  mapfile -t names < <(cd "$dir" && LC_ALL=C ls -A)
else
  names=("$@")
fi
zip=$(mktemp "${TMPDIR:-/tmp}/sfx-XXXXXX.zip")
trap 'rm -f "$zip"' EXIT
rm -f "$zip"
(cd "$dir" && bsdtar --format zip -cf "$zip" -- "${names[@]}")
cat "$stub" "$zip" >"$output"
