#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
# Postfix (for the daemon's end-to-end tests) is installed without a system
# configuration, so it never starts a mail server of its own: the tests run
# private instances.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev binutils
      make pkg-config file dpkg-dev lintian libcli11-dev nlohmann-json3-dev scdoc time
      bogofilter bogofilter-sqlite
      libmilter-dev miltertest postfix swaks python3)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
