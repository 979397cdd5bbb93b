#!/bin/bash
# The DVR panel in a real browser: Debian's Chromium, headless, driven through
# chromedriver by python3-selenium (browser_panel.py), against the demo NAS of
# scripts/demo.sh (demo/nas.sh) behind lighttpd, all inside the sandbox and its
# private loopback. The panel loads, shows tuners and guide, schedules and
# deletes a recording, scans, and shows the failures the programs answer as
# messages, at desktop, tablet and phone sizes, with the keyboard too. The
# screenshots of the guide go to DVR_BUILD_DIR/panel.png and panel-phone.png.
# Every check runs first at fixed moments, in time zones in and far from UTC,
# then at the real moment: what a moment changes shows whenever the test runs.
# Then scripts/demo.sh itself ends fully when its output closes, and
# scripts/test.sh --help answers without running anything.
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_browser.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"
# shellcheck source=demo/nas.sh
source "$DVR_SOURCE_DIR/demo/nas.sh"

for tool in /usr/bin/chromium /usr/bin/chromedriver; do
	[[ -x $tool ]] || _sandbox_die "missing $tool (scripts/deps.sh installs it)"
done
/usr/bin/python3 -c 'import selenium' 2>/dev/null || _sandbox_die "missing python3-selenium (scripts/deps.sh installs it)"

SID=Br0wserSession
/usr/bin/python3 "$DVR_SOURCE_DIR/demo/make_data.py" --out "$NAS_DIR/demo" || _sandbox_die "cannot make the demo data"
demo_nas_start "$NAS_DIR/demo" "$SID" "$NAS_LOG"
mkdir -p "$NAS_DIR/browser"
rm -f "$DVR_BUILD_DIR/panel.png" "$DVR_BUILD_DIR/panel-phone.png" # the checks below are of this run's
browser_panel() {
	HOME=$NAS_DIR/browser timeout 240 /usr/bin/python3 "$DVR_SOURCE_DIR/tests/e2e/browser_panel.py" \
		--url "http://127.0.0.1:$LOGIN_HTTP_PORT/" --sid "$SID" --screenshot "$DVR_BUILD_DIR/panel.png" \
		--screenshot-phone "$DVR_BUILD_DIR/panel-phone.png" --home "$NAS_DIR/browser" "$@" 2>&1
}
while IFS= read -r line; do
	case $line in
	"ok "*) t_ok "${line#ok }" ;;
	"not ok "*) t_fail "${line#not ok }" ;;
	*) echo "# $line" ;;
	esac
done < <(
	# The demo data made anew with its clock from the moment, the browser's too; the checks named by the moment.
	for moment in 2026-03-08T00:05/UTC 2026-03-08T12:00/UTC 2026-03-08T23:55/UTC 2026-03-08T00:05/America/Los_Angeles; do
		at=$(date -ud "${moment%%/*}" +%s)
		/usr/bin/python3 "$DVR_SOURCE_DIR/demo/make_data.py" --out "$NAS_DIR/demo" --now "$at" || echo "not ok the data at $moment"
		TZ=${moment#*/} browser_panel --at "$at" | sed "s|^\(not \)\{0,1\}ok |&at ${moment%%/*} UTC, in ${moment#*/}: |"
	done
	/usr/bin/python3 "$DVR_SOURCE_DIR/demo/make_data.py" --out "$NAS_DIR/demo" || echo "not ok the data at the real moment"
	browser_panel)
check "a screenshot was saved" test -s "$DVR_BUILD_DIR/panel.png"
check "and one at phone size" test -s "$DVR_BUILD_DIR/panel-phone.png"
demo_nas_stop

# scripts/demo.sh itself, its output into a pipe that closes early. Its own
# sandbox nests in this one: whatever it leaves shows here, and ends with this
# sandbox even when the checks fail. /usr/sbin/curl here is this sandbox's copy,
# which the nested one must not take for the system's.
case_begin "scripts/demo.sh into a pipe that closes"
env -u DVR_SANDBOX_INSIDE PATH=/usr/bin:/bin:/usr/sbin:/sbin timeout -k 5 120 "$DVR_SOURCE_DIR/scripts/demo.sh" \
	--build-dir "$DVR_BUILD_DIR" 2>"$NAS_OUT/demo.err" | head -n 5 >"$NAS_OUT/demo.out"
check "it came up first" grep -q '^== DVR panel' "$NAS_OUT/demo.out"
check "no process of its sandbox is left" test -z \
	"$(programs_running unshare)$(pid_ns_members "$(readlink /proc/self/ns/pid)" --other)"
check "no /tmp/dvr-demo.* folder is left" test -z "$(compgen -G '/tmp/dvr-demo.*')"
check "its forwarder ended without leaving a task behind" test -z "$(grep -e 'Task was destroyed' -e Traceback "$NAS_OUT/demo.err")"

case_begin "scripts/test.sh --help"
check "prints its usage and exits 0 at once, running nothing" bash -c \
	'usage=$(timeout -k 5 20 "$1" --help) && grep -q "^Usage: scripts/test.sh" <<<"$usage"' - "$DVR_SOURCE_DIR/scripts/test.sh"
sandbox_finish
