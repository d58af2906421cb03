#!/usr/bin/env bash
# The shared install step as a user without root: through sudo when there is
# one, a clear refusal when there is not. Fake id and sudo commands stand in
# for the user and the system, so nothing is installed.
set -euo pipefail
script="$(cd "$(dirname "$0")/../.." && pwd)/scripts/apt-install.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
printf '#!/bin/sh\necho 1000\n' > "$work/bin/id"
ln -s "$(command -v basename)" "$work/bin/basename"
chmod +x "$work/bin/id"

if PATH="$work/bin" "$(command -v bash)" "$script" clang 2> "$work/err"; then
    echo "FAIL: installed without root or sudo"; exit 1
fi
grep -q "installing clang needs root or sudo" "$work/err" || { echo "FAIL: message: $(cat "$work/err")"; exit 1; }

printf '#!/bin/sh\necho "$*" >> "%s/sudo.calls"\n' "$work" > "$work/bin/sudo"
chmod +x "$work/bin/sudo"
PATH="$work/bin" "$(command -v bash)" "$script" clang
expected=$'env DEBIAN_FRONTEND=noninteractive apt-get update -qq\nenv DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang'
[ "$(cat "$work/sudo.calls")" = "$expected" ] || { echo "FAIL: sudo calls: $(cat "$work/sudo.calls")"; exit 1; }
echo "apt-install: 2 passed, 0 failed"
