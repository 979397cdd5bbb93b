#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when missing.
# Usage: scripts/deps.sh [STAGE...]: the native build, its tests and the demo,
# plus what the named test stages need (armhf, aarch64, fuzz; see scripts/test.sh).
set -euo pipefail
# apache2-bin is Debian's Apache httpd without its service: the tests start it
# in their sandbox, and installing it starts no web server on the host.
pkgs=(build-essential cmake libgtest-dev googletest lighttpd lighttpd-mod-openssl curl openssl psmisc
      iproute2 util-linux procps python3 file wrk apache2-bin clang-format)
# The DVR panel's browser test (tests/e2e/test_browser.sh): headless Chromium through chromedriver.
pkgs+=(chromium chromium-driver python3-selenium)
for stage in "$@"; do
  case $stage in
  armhf) pkgs+=(g++-arm-linux-gnueabihf qemu-user) ;;
  aarch64) pkgs+=(g++-aarch64-linux-gnu qemu-user) ;;
  fuzz) pkgs+=(clang libclang-rt-14-dev) ;;
  esac
done
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
