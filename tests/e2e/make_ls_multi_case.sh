#!/usr/bin/env bash
# Writes the expected files of a least-squares VT, VC or customized end-to-end
# case from the independent reference ls_multi_reference.py.
# Usage: make_ls_multi_case.sh PROGRAM CASE_DIR
exec "$(dirname "$0")/make_ls_case.sh" "$1" "$2" ls_multi_reference.py
