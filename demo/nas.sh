# shellcheck shell=bash
# The demo NAS, set up inside the sandbox of sandbox/sandbox.sh: the place
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
	nas_reset
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
	# The installed watchdog where its init script looks for it; its log, in
	# /var/log, is the LOG directory.
	watchdog_install "$WEB_ROOT/usr/sbin/dongle_watchdog" && mount --bind "$log" /var/log ||
		_sandbox_die "cannot install the watchdog"
	"$WEB_ROOT/etc/init.d/dongle_watchdog" start || _sandbox_die "the watchdog does not start"
	login_start
}

demo_nas_stop() {
	"$WEB_ROOT/etc/init.d/dongle_watchdog" stop
}
