#!/usr/bin/env bash
# Writes the expected files of a least-squares end-to-end case from the
# independent reference (ls_reference.py): runs the program once only to take
# its start-up console text, then lets the reference write expect/ and stdout.
# Usage: make_ls_case.sh PROGRAM CASE_DIR [REFERENCE]  (default ls_reference.py)
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
case_dir=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -R "$case_dir/input/." "$work/"
args=()
while IFS= read -r line || [ -n "$line" ]; do args+=("$line"); done < "$case_dir/args"
(cd "$work" && "$bin" "${args[@]}" > "$work/.stdout" 2>/dev/null) || true
python3 "$(dirname "$0")/${3:-ls_reference.py}" "$case_dir" --write "$work/.stdout"
