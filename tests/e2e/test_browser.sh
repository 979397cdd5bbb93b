#!/bin/bash
# The DVR panel in a real browser: Debian's Chromium, headless, driven through
# chromedriver by python3-selenium (browser_panel.py), against the demo NAS of
# scripts/demo.sh (demo/nas.sh) behind lighttpd, all inside the sandbox and its
# private loopback. The panel loads, shows tuners and guide, schedules and
# deletes a recording, scans, and shows the failures the programs answer as
# messages, at desktop, tablet and phone sizes, with the keyboard too. The
# screenshots of the guide go to DVR_BUILD_DIR/panel.png and panel-phone.png.
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
while IFS= read -r line; do
	case $line in
	"ok "*) t_ok "${line#ok }" ;;
	"not ok "*) t_fail "${line#not ok }" ;;
	*) echo "# $line" ;;
	esac
done < <(HOME=$NAS_DIR/browser timeout 240 /usr/bin/python3 "$DVR_SOURCE_DIR/tests/e2e/browser_panel.py" \
	--url "http://127.0.0.1:$LOGIN_HTTP_PORT/" --sid "$SID" --screenshot "$DVR_BUILD_DIR/panel.png" \
	--screenshot-phone "$DVR_BUILD_DIR/panel-phone.png" \
	--home "$NAS_DIR/browser" 2>&1)
check "a screenshot was saved" test -s "$DVR_BUILD_DIR/panel.png"
check "and one at phone size" test -s "$DVR_BUILD_DIR/panel-phone.png"
demo_nas_stop
sandbox_finish
