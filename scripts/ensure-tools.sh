#!/usr/bin/env bash
# Installs with apt-get the build tools a fresh Debian machine lacks: cmake, g++, make and GoogleTest.
set -euo pipefail

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || missing+=(make)
[ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
"$(dirname "$0")/apt-install.sh" "${missing[@]}"
