#!/bin/bash
# dongle_watchdog end to end: the shipped program, unchanged and with its real
# 10-second periods, started by the sample init script in a sandboxed NAS with
# a fake /sys/class/dvb and /dev/dvb:
#   tuner 0  registered, device opens          -> nothing but its progress line
#   tuner 1  registered, device gone           -> removal line, killall, pause
#   tuner 3  device node left, not registered  -> nothing but its progress line
# The backend stand-in must be ended by the real killall, and every line must
# be in the log file at the moment it is written; a log left near its cap by an
# earlier run is rotated. One run takes about 30 s.
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_watchdog.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"

watchdog_install
# Such a variable once chose the program; now it must change nothing.
export DONGLE_WATCHDOG_BIN=/nonexistent

progress() { printf 'Check usb dongle %d... ' "$1"; }
removal() { printf 'Usb dongle %d is removed, try to restart tvheadend... ' "$1"; }

# at_second N: waits until N seconds after the watchdog was started. The checks
# sit halfway between the watchdog's own 10-second steps.
at_second() {
	local now
	now=$(date +%s%N)
	local left_ms=$(((START_NS + $1 * 1000000000 - now) / 1000000))
	((left_ms > 0)) && sleep "$((left_ms / 1000)).$(printf '%03d' $((left_ms % 1000)))"
	true
}

init() {
	sh "$WATCHDOG_INIT" "$@" >>"$NAS_LOG/init.out" 2>&1
}

case_begin "tuner 0 present, tuner 1 removed, tuner 3 a stale node"

# The kill must be the real one, found as the init script's search path finds it.
killall_path=$(PATH=/sbin:/usr/sbin:/bin:/usr/bin command -v killall)
check "killall resolves to the real /usr/bin/killall" \
	test "$(readlink -f "$killall_path")" = "$(readlink -f /usr/bin/killall)"

mkdir -p /sys/class/dvb/dvb0.frontend0 /sys/class/dvb/dvb1.frontend0 /dev/dvb/adapter0 /dev/dvb/adapter3
echo 212:0 >/sys/class/dvb/dvb0.frontend0/dev
echo 212:4 >/sys/class/dvb/dvb1.frontend0/dev
: >/dev/dvb/adapter0/frontend0
: >/dev/dvb/adapter3/frontend0

backend_start --no-listen || sandbox_finish
backend=$(backend_pid)

# Three lines short of the cap: the first three lines of the run complete it.
yes 'an earlier run' | head -n 4997 >"$DONGLE_WATCHDOG_LOG"
START_NS=$(date +%s%N)
init start &
init start
wait $!
check "init script: started" init status
check "two concurrent starts (a boot and an administrator): one watchdog" test "$(pgrep -cx dongle_watchdog)" = 1

at_second 5
check "nothing checked before the first 10 seconds" test "$(wc -l <"$DONGLE_WATCHDOG_LOG")" = 4997
check "the program is the installed one, not the environment's" \
	test "$(readlink "/proc/$(cat "$DONGLE_WATCHDOG_PIDFILE")/exe")" = /usr/sbin/dongle_watchdog
check "backend still runs before the first check" test -d "/proc/$backend"

at_second 15
# Cycle 1 began at 10 s; the watchdog now sits in its pause after the kill.
expect_lines "first lines, up to the removal of tuner 1, complete the rotated log" \
	<(tail -n 3 "$DONGLE_WATCHDOG_LOG.1") "$(progress 0)" "$(progress 1)" "$(removal 1)"
check "the rotated log holds as many lines as the cap" test "$(wc -l <"$DONGLE_WATCHDOG_LOG.1")" = 5000
# The stand-in is our child: once ended it is a zombie or already reaped by
# bash, which keeps its status for wait. Wait only then, so a backend left
# running cannot hang the test.
state=$(awk '{ print $3 }' "/proc/$backend/stat" 2>/dev/null)
if [[ -z $state || $state == Z ]]; then
	wait "$backend"
	backend_status=$?
else
	backend_status="still running"
fi
if [[ $backend_status == $((128 + 15)) ]]; then
	t_ok "backend stand-in ended by SIGTERM"
else
	t_fail "backend stand-in ended by SIGTERM" "wait status: $backend_status"
fi
check "no tvheadend process left" test -z "$(pgrep -x tvheadend)"

at_second 25
# The pause ended at 20 s and the cycle went on with tuner 2; the next cycle
# is due at 30 s. These lines sit in the log while the watchdog still runs.
expect_lines "the rest of the first cycle is in the new log as it happens" "$DONGLE_WATCHDOG_LOG" \
	"$(progress 2)" "$(progress 3)" "$(progress 4)" "$(progress 5)" \
	"$(progress 6)" "$(progress 7)" "$(progress 8)" "$(progress 9)"
watchdog=$(cat "$DONGLE_WATCHDOG_PIDFILE" 2>/dev/null)
check "the watchdog never exits by itself" test -n "$watchdog" -a -d "/proc/$watchdog"

init stop
check "init script: stopped" test ! -d "/proc/$watchdog" -a ! -e "$DONGLE_WATCHDOG_PIDFILE"
check "no watchdog left" test -z "$(pgrep -x dongle_watchdog)"
init status
check "init script: status says not running" test $? -eq 3

# Where there is no flock(1) the lock is a directory. A start ended while it
# holds it, by TERM (which the script sees) or KILL (which it cannot), leaves
# nothing that holds off the next stop.
# The script's own process is the one started here: no shell stands between.
NO_FLOCK=(unshare --mount -- sh -c 'mount --bind /dev/null /usr/bin/flock && exec sh "$@"' no-flock "$WATCHDOG_INIT")
for sig in TERM KILL; do
	case_begin "no flock(1): a start ended by SIG$sig while it holds the lock"
	"${NO_FLOCK[@]}" start >>"$NAS_LOG/init.out" 2>&1 &
	starter=$!
	check "the start holds the lock" _wait_for 250 test -d /var/run/dongle_watchdog.lock.d
	kill -"$sig" "$starter"
	wait "$starter"
	SECONDS=0
	"${NO_FLOCK[@]}" stop >>"$NAS_LOG/init.out" 2>&1
	status=$?
	check "a stop then succeeds at once (status $status, $SECONDS s)" test "$status" -eq 0 -a "$SECONDS" -lt 3
	check "no lock and no watchdog left" test ! -e /var/run/dongle_watchdog.lock.d -a -z "$(pgrep -x dongle_watchdog)"
done

sandbox_finish
