#!/bin/bash
# The Debian package: built by CPack from the build tree inside the sandbox,
# its control fields and files checked, unpacked into the sandboxed NAS's
# root, and served from there by the NAS web server (web_server_rows).
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_package.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"

case_begin "the package"
cpack --config "$DVR_BUILD_DIR/CPackConfig.cmake" -B "$NAS_DIR/package" >"$NAS_DIR/cpack.out" 2>&1 ||
	_sandbox_die "cpack fails: $(cat "$NAS_DIR/cpack.out")"
deb=$(compgen -G "$NAS_DIR/package/*.deb") || _sandbox_die "cpack made no package: $(cat "$NAS_DIR/cpack.out")"
check "for this machine's architecture" test "$(dpkg-deb -f "$deb" Architecture)" == "$(dpkg --print-architecture)"
if file -b "$DVR_BUILD_DIR/tunerbay" | grep -q 'statically linked'; then
	check "static programs depend on nothing" test -z "$(dpkg-deb -f "$deb" Depends Pre-Depends)"
else
	check "dynamic programs depend on the C library" grep -q '^libc6 ' <<<"$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//')"
fi
dpkg-deb -e "$deb" "$NAS_DIR/control"
expect_lines "the init script is a conffile" "$NAS_DIR/control/conffiles" /etc/init.d/dongle_watchdog
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $6 }' | sort >"$NAS_OUT/files"
expect_lines "its files" "$NAS_OUT/files" ./etc/init.d/dongle_watchdog ./usr/lib/cgi-bin/epg \
	./usr/lib/cgi-bin/tunerbay ./usr/sbin/dongle_watchdog
dpkg -x "$deb" "$WEB_ROOT" || _sandbox_die "dpkg -x fails"
check "tunerbay is the built program" cmp -s "$WEB_CGI_BIN/tunerbay" "$DVR_BUILD_DIR/tunerbay"

login_start
web_server_rows "http://127.0.0.1:$LOGIN_HTTP_PORT"
sandbox_finish
