#!/usr/bin/env bash
# Installs what the build needs (g++, cmake, GSL, GoogleTest) when it is missing.
set -euo pipefail

missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
[ -f /usr/include/gsl/gsl_cdf.h ] || missing+=(libgsl-dev)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v make >/dev/null 2>&1 || missing+=(make)

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
