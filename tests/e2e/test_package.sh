#!/bin/bash
# The Debian package: built by CPack from the build tree inside the sandbox,
# its control fields and files checked, unpacked into the sandboxed NAS's
# root, and served from there by the NAS web server (web_server_rows).
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_package.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"

case_begin "the package"
# A packager's umask of 002 must not reach the modes in the package.
(umask 002 && cpack --config "$DVR_BUILD_DIR/CPackConfig.cmake" -B "$NAS_DIR/package") >"$NAS_DIR/cpack.out" 2>&1 ||
	_sandbox_die "cpack fails: $(cat "$NAS_DIR/cpack.out")"
deb=$(compgen -G "$NAS_DIR/package/*.deb") || _sandbox_die "cpack made no package: $(cat "$NAS_DIR/cpack.out")"
check "for this machine's architecture" test "$(dpkg-deb -f "$deb" Architecture)" == "$(dpkg --print-architecture)"
check "directories 0755, nothing writable but by root" test -z \
	"$(dpkg-deb -c "$deb" | awk '($1 ~ /^d/ && $1 != "drwxr-xr-x") || $1 ~ /^.....w|^........w/')"
if file -b "$DVR_BUILD_DIR/tunerbay" | grep -q 'statically linked'; then
	check "static programs depend on nothing" test -z "$(dpkg-deb -f "$deb" Depends Pre-Depends)"
	# The package that ships: lintian finds nothing but what it overrides.
	HOME=$NAS_DIR lintian --fail-on none --show-overrides --tag-display-limit 0 "$deb" >"$NAS_OUT/lintian" 2>"$NAS_LOG/lintian.err"
	check "lintian: only overridden tags" test $? = 0 -a -z "$(grep -v '^[NO]: ' "$NAS_OUT/lintian")"
else
	check "dynamic programs depend on the C library" grep -q '^libc6 ' <<<"$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//')"
fi
dpkg-deb -e "$deb" "$NAS_DIR/control"
expect_lines "the init script is a conffile" "$NAS_DIR/control/conffiles" /etc/init.d/dongle_watchdog
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $6 }' | sort >"$NAS_OUT/files"
expect_lines "its files" "$NAS_OUT/files" ./etc/init.d/dongle_watchdog ./usr/lib/cgi-bin/epg \
	./usr/lib/cgi-bin/tunerbay ./usr/lib/systemd/system/dongle_watchdog.service ./usr/sbin/dongle_watchdog \
	./usr/share/doc/dvr-cgi/changelog.gz ./usr/share/doc/dvr-cgi/copyright ./usr/share/lintian/overrides/dvr-cgi \
	./usr/share/man/man8/dongle_watchdog.8.gz
dpkg -x "$deb" "$WEB_ROOT" || _sandbox_die "dpkg -x fails"
check "tunerbay is the built program" cmp -s "$WEB_CGI_BIN/tunerbay" "$DVR_BUILD_DIR/tunerbay"

login_start
web_server_rows "http://127.0.0.1:$LOGIN_HTTP_PORT"

case_begin "installed, started, purged"
# dpkg installs onto this root with a database of its own; what it writes
# under /usr and /var/lib lands in overlays, like the rest of the sandbox's
# /etc, /var/log and /var/run. The host's policy layer may forbid every start
# and stop (as in a container); the box this stands for has none. The private
# database knows no other package: a dynamic build's libraries are the host's.
dirs=(/usr/lib /usr/share /var/lib)
[[ $(readlink -f /sbin) == /usr/sbin ]] || dirs+=(/usr/sbin) # else the sandbox has its overlay
for dir in "${dirs[@]}"; do _sandbox_overlay "$dir" || _sandbox_die "no overlay on $dir"; done
rm -f /usr/sbin/policy-rc.d
# quiet_check LABEL COMMAND...: check, with the command's output shown only when it fails.
quiet_check() {
	local label=$1
	shift
	if "$@" >"$NAS_OUT/quiet" 2>&1; then t_ok "$label"; else t_fail "$label" "failed: $*" "$(cat "$NAS_OUT/quiet")"; fi
}
admin=$NAS_DIR/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" && : >"$admin/status"
quiet_check "dpkg installs it" dpkg --admindir="$admin" --force-depends -i "$deb"
check "registered, not enabled" test -n "$(compgen -G '/etc/rc2.d/K??dongle_watchdog')" \
	-a -z "$(compgen -G '/etc/rc[2345].d/S??dongle_watchdog')"
if command -v systemd-analyze >/dev/null; then
	quiet_check "systemd-analyze verifies the unit" systemd-analyze verify --man=no \
		/usr/lib/systemd/system/dongle_watchdog.service
fi
quiet_check "the init script starts the watchdog" /etc/init.d/dongle_watchdog start
quiet_check "dpkg purges it" dpkg --admindir="$admin" --purge dvr-cgi
check "the watchdog is stopped" test -z "$(pgrep -x dongle_watchdog)"
check "nothing is left" test -z "$(ls -d /etc/init.d/dongle_watchdog /etc/rc?.d/*dongle_watchdog /var/log/dongle_watchdog* \
	/var/run/dongle_watchdog* /usr/sbin/dongle_watchdog /usr/share/doc/dvr-cgi /usr/lib/systemd/system/dongle_watchdog.service 2>/dev/null)"
sandbox_finish
