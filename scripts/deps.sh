#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when missing.
set -euo pipefail
pkgs=(build-essential cmake libgtest-dev googletest lighttpd lighttpd-mod-openssl curl openssl psmisc
      iproute2 util-linux procps python3 file wrk
      g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user clang libclang-rt-14-dev)
# The DVR panel's browser test (tests/e2e/test_browser.sh): headless Chromium through chromedriver.
pkgs+=(chromium chromium-driver python3-selenium)
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
