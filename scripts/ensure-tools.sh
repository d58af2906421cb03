#!/usr/bin/env bash
# Installs with apt-get the build tools a fresh Debian machine lacks: cmake, g++, make and GoogleTest,
# the serial device servers the end-to-end tests run the driver through: ser2net and pyserial, and tshark,
# which reads the trace tool's pcapng files through the project's Wireshark dissector in a test.
set -euo pipefail

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || missing+=(make)
[ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -x /usr/sbin/ser2net ] || missing+=(ser2net)
/usr/bin/python3 -c 'import serial.rfc2217' >/dev/null 2>&1 || missing+=(python3-serial)
command -v tshark >/dev/null 2>&1 || missing+=(tshark)
"$(dirname "$0")/apt-install.sh" "${missing[@]}"
