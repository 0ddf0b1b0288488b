#!/usr/bin/env bash
# Installs, from Debian's archive, every package the two builds and the tests need that is missing.
set -euo pipefail

packages=(
  cmake make g++ googletest libgtest-dev libgmock-dev libbenchmark-dev libunwind-dev
  clang lld llvm libclang-rt-14-dev mingw-w64 osslsigncode python3-pefile openssl wine64 wine
  clang-tidy cppcheck
  nlohmann-json3-dev
  llvm-14-dev libcurl4-openssl-dev libsqlite3-dev libpq-dev postgresql
  libcpp-httplib-dev libtomlplusplus-dev chromium chromium-driver python3-selenium
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
