#!/usr/bin/env bash
# The first command on a fresh machine: install what is missing, build both builds, then show what COM1
# receives when the driver meets a bug check (hestolvane-sim's default scenario).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset driver >/dev/null
cmake --build --preset driver
cmake --preset host >/dev/null
cmake --build --preset host

echo
echo "Signed driver image: $PWD/build/driver/HesTolvaneDrv.sys (symbols: $PWD/build/driver/HesTolvaneDrv.pdb)"
echo
echo "---- COM1, as hestolvane-sim's default scenario sends it ----"
build/host/tools/hestolvane-sim
