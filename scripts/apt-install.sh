#!/usr/bin/env bash
# Installs Debian packages with apt-get: directly as root, through sudo
# otherwise. Every script that installs what it needs goes through here, so
# they all behave alike on a machine without root.
#
#   scripts/apt-install.sh PACKAGE...
set -euo pipefail
[ $# -gt 0 ] || exit 0

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "$(basename "$0"): installing $* needs root or sudo" >&2
        exit 1
    fi
    SUDO=(sudo)
fi
# sudo drops the environment, so the front end is set on the command itself.
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
