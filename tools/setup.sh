#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev googletest g++-mingw-w64-x86-64 wine64 apache2-utils
          osslsigncode openssl python3 python3-cryptography-vectors libcap2-bin procps
          clang libclang-rt-14-dev nginx-light libcurl4-openssl-dev libssl-dev softhsm2
          libengine-pkcs11-openssl gnutls-bin rustc libstd-rust-dev-windows)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
