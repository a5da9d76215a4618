#!/usr/bin/env bash
# Compares two release folders file by file and prints each file that
# differs or that only one of them holds. Exits 0 when both hold the same
# files with the same bytes, 1 otherwise.
#   compare-builds.sh FOLDER_A FOLDER_B
set -euo pipefail
if [[ $# -ne 2 || ! -d "$1" || ! -d "$2" ]]; then
  echo "usage: $0 FOLDER_A FOLDER_B (two release folders)" >&2
  exit 2
fi
files() { (cd "$1" && find . -type f -printf '%P\n' | LC_ALL=C sort); }
differing=0
while IFS= read -r file; do
  if [[ ! -f "$1/$file" ]]; then
    echo "only in $2: $file"
    differing=1
  elif [[ ! -f "$2/$file" ]]; then
    echo "only in $1: $file"
    differing=1
  elif ! cmp -s "$1/$file" "$2/$file"; then
    echo "differs: $file"
    differing=1
  fi
done < <(LC_ALL=C sort -u <(files "$1") <(files "$2"))
if ((differing == 0)); then
  echo "identical: $(files "$1" | wc -l) files"
fi
exit "$differing"
