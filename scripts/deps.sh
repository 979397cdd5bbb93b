#!/usr/bin/env bash
# Installs the Debian packages a build, the demo and the tests need, when missing.
# Usage: scripts/deps.sh [STAGE...]: with no stage, what the native build and the
# demo (scripts/demo.sh) need; "tests" adds what the native test stages need, and
# armhf, aarch64 and fuzz what those builds need (see scripts/test.sh).
set -euo pipefail
# The build, and the demo NAS: its web server with TLS for the login service,
# curl as the NAS's transfer tool, killall for the watchdog, the namespaces.
pkgs=(build-essential cmake libgtest-dev googletest lighttpd lighttpd-mod-openssl curl openssl psmisc
      iproute2 util-linux procps python3)
for stage in "$@"; do
  case $stage in
  # apache2-bin is Debian's Apache httpd without its service: the tests start it
  # in their sandbox, and installing it starts no web server on the host. The
  # DVR panel's browser test runs headless Chromium through chromedriver; the
  # package test runs lintian; the benchmark loads the web server with wrk.
  # busybox httpd and mini_httpd are the small firmware's web servers; strace
  # fails the programs' system calls in turn (tests/fault).
  tests) pkgs+=(file wrk apache2-bin clang-format lintian chromium chromium-driver python3-selenium
                busybox mini-httpd strace) ;;
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
