#!/usr/bin/env bash
# Builds, signs and checks the real driver image: build/driver/HesTolvaneDrv.sys with its .pdb and .map.
# Extra arguments go to the configure step, e.g. -DHESTOLVANE_SIGN_CERT=cert.pem -DHESTOLVANE_SIGN_KEY=key.pem
# to sign with your own certificate instead of a throwaway self-signed one (add -DHESTOLVANE_SIGN_CAFILE=ca.pem
# when the certificate is not self-signed, so that the image check can verify it).
#
# scripts/install-deps.sh installs what the driver build needs (clang, lld, llvm, mingw-w64, osslsigncode,
# openssl, python3-pefile). Until a driver source defines DriverEntry (drv/lifecycle.cpp) the sources are
# compiled and checked but not linked.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset driver "$@"
cmake --build --preset driver
ctest --preset driver
