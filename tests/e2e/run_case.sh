#!/usr/bin/env bash
# Runs the program once for an end-to-end case folder and compares what it did.
#   run_case.sh PROGRAM CASE_DIR [THREADS]
# THREADS (default 1) is the number of threads that analyse genes
# (OMP_NUM_THREADS); every output must be the same for any number.
#
# A case folder holds:
#   args      the command-line arguments, one per line
#   stdout    the expected standard output, byte for byte, with every calendar
#             time written as <TIME>
#   status    the expected exit status (0 when the file is absent)
#   stderr    optional: the expected standard error, byte for byte
#   input/    optional: files copied into the folder the program runs in
#   expect/   optional: files that the run must leave, byte for byte
#   absent    optional: names of files the run must not create, one per line
#   env       optional: NAME=VALUE lines, the environment of the run beyond
#             OMP_NUM_THREADS (a name given there replaces the thread count)
set -u
bin=$1
case_dir=$2
threads=${3:-1}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -d "$case_dir/input" ] && cp -R "$case_dir/input/." "$work/"

args=()
if [ -f "$case_dir/args" ]; then
  while IFS= read -r line || [ -n "$line" ]; do
    args+=("$line")
  done < "$case_dir/args"
fi

envs=("OMP_NUM_THREADS=$threads")
if [ -f "$case_dir/env" ]; then
  while IFS= read -r line || [ -n "$line" ]; do
    [ -n "$line" ] && envs+=("$line")
  done < "$case_dir/env"
fi

(cd "$work" && env "${envs[@]}" "$bin" "${args[@]}" > "$work/.stdout" 2> "$work/.stderr")
status=$?

fail=0
want_status=0
[ -f "$case_dir/status" ] && want_status=$(tr -d ' \n' < "$case_dir/status")
if [ "$status" != "$want_status" ]; then
  echo "exit status: got $status, expected $want_status"
  fail=1
fi

# Calendar times ("Mon Dec  7 05:54:26 2026") change from run to run.
time_re='[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9][0-9][0-9][0-9]'
sed -E "s/$time_re/<TIME>/g" "$work/.stdout" > "$work/.stdout.masked"
if ! cmp -s "$work/.stdout.masked" "$case_dir/stdout"; then
  echo "standard output differs (expected vs got):"
  diff "$case_dir/stdout" "$work/.stdout.masked" | head -40
  fail=1
fi

if [ -f "$case_dir/stderr" ] && ! cmp -s "$work/.stderr" "$case_dir/stderr"; then
  echo "standard error differs (expected vs got):"
  diff "$case_dir/stderr" "$work/.stderr" | head -40
  fail=1
fi

if [ -d "$case_dir/expect" ]; then
  for f in "$case_dir"/expect/*; do
    name=$(basename "$f")
    if [ ! -f "$work/$name" ]; then
      echo "missing output file $name"
      fail=1
    elif ! cmp -s "$f" "$work/$name"; then
      echo "output file $name differs (expected vs got):"
      diff "$f" "$work/$name" | head -40
      fail=1
    fi
  done
fi

if [ -f "$case_dir/absent" ]; then
  while IFS= read -r name || [ -n "$name" ]; do
    [ -n "$name" ] && [ -e "$work/$name" ] && { echo "unexpected output file $name"; fail=1; }
  done < "$case_dir/absent"
fi

exit $fail
