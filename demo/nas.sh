# shellcheck shell=bash
# The demo NAS, set up inside the sandbox of tests/e2e/sandbox.sh: the place
# scripts/demo.sh and the panel's browser test both take it from.
#
# demo_nas_start DATA SID LOG: installs the build with `cmake --install`,
# accepts the session SID, plugs in two USB tuners, puts the DVR panel
# (demo/panel) at the web server's root, starts the backend stand-in on the
# routes in DATA (made by demo/make_data.py; the DVR service script starts it
# the same way), the dongle watchdog (log in LOG/dongle_watchdog.log) and the
# web server. demo_nas_stop ends the watchdog.

demo_nas_start() {
	local data=$1 sid=$2 log=$3 i
	web_install
	case_begin "demo NAS"
	login_sessions "$(printf '%s\tadmin' "$sid")"
	# Two plugged-in USB tuners: registered with the kernel, their devices open.
	for i in 0 1; do
		if ! { mkdir -p "/sys/class/dvb/dvb$i.frontend0" "/dev/dvb/adapter$i" &&
			echo "212:$((i * 64 + 3))" >"/sys/class/dvb/dvb$i.frontend0/dev" &&
			: >"/dev/dvb/adapter$i/frontend0"; }; then
			_sandbox_die "cannot make the tuners"
		fi
	done
	install -m 0644 "$DVR_SOURCE_DIR"/demo/panel/* "$LOGIN_DIR/www/" || _sandbox_die "cannot install the panel"
	printf '%s\n' --routes "$data" >"$NAS_DIR/dvr.args"
	backend_start --routes "$data" || _sandbox_die "the backend does not start"
	DEMO_WATCHDOG_ENV=(DONGLE_WATCHDOG_BIN="$WEB_ROOT/usr/sbin/dongle_watchdog"
		DONGLE_WATCHDOG_PIDFILE="$NAS_DIR/dongle_watchdog.pid" DONGLE_WATCHDOG_LOG="$log/dongle_watchdog.log")
	env "${DEMO_WATCHDOG_ENV[@]}" "$WEB_ROOT/etc/init.d/dongle_watchdog" start || _sandbox_die "the watchdog does not start"
	login_start
}

demo_nas_stop() {
	env "${DEMO_WATCHDOG_ENV[@]}" "$WEB_ROOT/etc/init.d/dongle_watchdog" stop
}
