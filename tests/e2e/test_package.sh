#!/bin/bash
# The Debian package: built by CPack from the build tree inside the sandbox,
# its control fields and files checked, unpacked into the sandboxed NAS's
# root, and served from there by the NAS web server (web_server_rows).
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_package.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"

case_begin "the package"
(umask 002 && cpack --config "$DVR_BUILD_DIR/CPackConfig.cmake" -B "$NAS_DIR/package") >"$NAS_DIR/cpack.out" 2>&1 ||
	_sandbox_die "cpack fails: $(cat "$NAS_DIR/cpack.out")"
deb=$(compgen -G "$NAS_DIR/package/*.deb") || _sandbox_die "cpack made no package: $(cat "$NAS_DIR/cpack.out")"
check "for this machine's architecture" test "$(dpkg-deb -f "$deb" Architecture)" == "$(dpkg --print-architecture)"
check "under umask 002: directories 0755, nothing writable but by root" test -z \
	"$(dpkg-deb -c "$deb" | awk '($1 ~ /^d/ && $1 != "drwxr-xr-x") || $1 ~ /^.....w|^........w/')"
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//')
if file -b "$DVR_BUILD_DIR/tunerbay" | grep -q 'statically linked'; then
	check "static programs depend on psmisc alone (the watchdog's killall)" \
		test "$depends" == psmisc -a -z "$(dpkg-deb -f "$deb" Pre-Depends)"
else
	check "dynamic programs depend on the C library" grep -q '^libc6 ' <<<"$depends"
	check "and on psmisc (the watchdog's killall)" grep -qx psmisc <<<"$depends"
fi
dpkg-deb -e "$deb" "$NAS_DIR/control"
expect_lines "the init script and the web servers' snippets are conffiles" "$NAS_DIR/control/conffiles" \
	/etc/init.d/dongle_watchdog /etc/lighttpd/conf-available/20-dvr-cgi.conf /etc/apache2/conf-available/dvr-cgi.conf
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ && $6 !~ /^\.\/usr\/(share|lib\/systemd)\// { print $6 }' | sort >"$NAS_OUT/files"
expect_lines "its files" "$NAS_OUT/files" ./etc/apache2/conf-available/dvr-cgi.conf ./etc/init.d/dongle_watchdog \
	./etc/lighttpd/conf-available/20-dvr-cgi.conf ./usr/lib/cgi-bin/epg ./usr/lib/cgi-bin/tunerbay \
	./usr/sbin/dongle_watchdog
dpkg -x "$deb" "$WEB_ROOT" || _sandbox_die "dpkg -x fails"
check "tunerbay is the built program" cmp -s "$WEB_CGI_BIN/tunerbay" "$DVR_BUILD_DIR/tunerbay"

login_start
web_server_rows "http://127.0.0.1:$LOGIN_HTTP_PORT"

case_begin "installed, started, purged"
# dpkg with a database of its own (which knows no other package), its writes in
# overlays; without the host's policy-rc.d, which may forbid every start.
dirs=(/usr/lib /usr/share /var/lib)
[[ $(readlink -f /sbin) == /usr/sbin ]] || dirs+=(/usr/sbin) # else the sandbox has its overlay
for dir in "${dirs[@]}"; do _sandbox_overlay "$dir" || _sandbox_die "no overlay on $dir"; done
rm -f /usr/sbin/policy-rc.d
admin=$NAS_DIR/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" && : >"$admin/status"
dpkg --admindir="$admin" --force-depends -i "$deb" >"$NAS_OUT/dpkg" 2>&1 || _sandbox_die "dpkg -i fails: $(cat "$NAS_OUT/dpkg")"
check "registered, not enabled" test -n "$(compgen -G '/etc/rc2.d/K??dongle_watchdog')" \
	-a -z "$(compgen -G '/etc/rc[2345].d/S??dongle_watchdog')"
command -v systemd-analyze >/dev/null && check "systemd-analyze verifies the unit" \
	systemd-analyze verify --man=no /usr/lib/systemd/system/dongle_watchdog.service
/etc/init.d/dongle_watchdog start >"$NAS_OUT/start" 2>&1 || _sandbox_die "the init script fails: $(cat "$NAS_OUT/start")"

# Debian's lighttpd as it comes, on port 80, with the snippet enabled beside
# Debian's own cgi snippet. Its upload folder gets an overlay: it is the host's.
case_begin "Debian's lighttpd with lighty-enable-mod dvr-cgi"
_sandbox_overlay /var/cache/lighttpd || _sandbox_die "no overlay on /var/cache/lighttpd"
mkdir -p /var/log/lighttpd && chown -R www-data:www-data /var/log/lighttpd
lighty-enable-mod cgi dvr-cgi >"$NAS_OUT/enable" 2>&1
check "enabled" test -e /etc/lighttpd/conf-enabled/20-dvr-cgi.conf
lighttpd -f /etc/lighttpd/lighttpd.conf >"$NAS_OUT/lighttpd" 2>&1 && _wait_for 250 curl -so /dev/null http://127.0.0.1/ ||
	_sandbox_die "Debian's lighttpd does not start: $(cat "$NAS_OUT/lighttpd" /var/log/lighttpd/error.log)"
web GET "http://127.0.0.1/cgi-bin/tunerbay?subfunc=info&todo=list"
expect_web_json "tunerbay's own answer" "$NOT_READY_ANSWER"
check "its failure line in the breakage log" grep -qx 'tunerbay: info/list: backend process not running' \
	/var/log/lighttpd/breakage.log
backend_start
set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' 'stream 18800' 'pause 300' \
	'stream 18800' close)"
web GET "http://127.0.0.1/cgi-bin/tunerbay?subfunc=scan&todo=get&stream=1"
check "a stream passed on as it comes (chunked, whole)" test "$(web_header Transfer-Encoding)" == chunked \
	-a "$(stat -c %s "$WEB_BODY")" -eq 37600
kill "$(cat /run/lighttpd.pid)"

case_begin "purged"
dpkg --admindir="$admin" --purge dvr-cgi >"$NAS_OUT/dpkg" 2>&1 || _sandbox_die "dpkg --purge fails: $(cat "$NAS_OUT/dpkg")"
check "the watchdog is stopped and nothing is left" test -z "$(pgrep -x dongle_watchdog)$(ls -d /etc/init.d/dongle_watchdog \
	/etc/lighttpd/conf-*/20-dvr-cgi.conf /etc/apache2/conf-available/dvr-cgi.conf \
	/etc/rc?.d/*dongle_watchdog /var/{log,run}/dongle_watchdog* /usr/sbin/dongle_watchdog /usr/share/doc/dvr-cgi \
	/usr/lib/systemd/system/dongle_watchdog.service 2>/dev/null)"
sandbox_finish
