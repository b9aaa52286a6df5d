#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev googletest g++-mingw-w64-x86-64 wine64 apache2-utils
          osslsigncode openssl python3 python3-cryptography-vectors libcap2-bin procps
          clang libclang-rt-14-dev nginx-light libcurl4-openssl-dev libssl-dev softhsm2
          libengine-pkcs11-openssl gnutls-bin rustc libstd-rust-dev-windows apache2 caddy
          xvfb imagemagick xdotool lld golang-go llvm clang-tools-14 cargo)
# Servers the tests start themselves, as the user, on loopback ports: their
# packages must leave no system service running or enabled.
services=(apache2:apache2 apache2:apache-htcacheclean caddy:caddy caddy:caddy-api)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  # policy-rc.d answering 101 keeps the packages' scripts from starting any
  # service during the install (invoke-rc.d and deb-systemd-invoke ask it).
  policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $sudo_cmd tee "$policy" >/dev/null
    $sudo_cmd chmod 755 "$policy"
  fi
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null \
    || { [ -z "$policy" ] || $sudo_cmd rm -f "$policy"; exit 1; }
  [ -z "$policy" ] || $sudo_cmd rm -f "$policy"
  for unit in "${services[@]}"; do
    [[ " ${missing[*]} " == *" ${unit%%:*} "* ]] || continue
    s=${unit#*:}
    # Neither started at boot nor running now, under systemd (systemctl
    # disables offline too) or SysV init.
    if command -v systemctl >/dev/null; then
      $sudo_cmd systemctl disable "$s.service" >/dev/null 2>&1 || true
      [ ! -d /run/systemd/system ] || $sudo_cmd systemctl stop "$s.service" >/dev/null 2>&1 || true
    fi
    if [ -x "/etc/init.d/$s" ]; then
      $sudo_cmd update-rc.d "$s" disable >/dev/null 2>&1 || true
      $sudo_cmd "/etc/init.d/$s" stop >/dev/null 2>&1 || true
    fi
  done
fi
