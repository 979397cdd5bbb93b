#!/bin/bash
# Faults end to end: the shipped programs, unchanged, in the sandboxed NAS while
# what they depend on fails: the backend dies in the middle of a stream or of an
# exchange, or runs without listening, or only a zombie of it is left; the
# login service is down, fails or stalls; the configuration tool, the transfer
# tool or the DVR service script is missing or hangs; /tmp is read-only; the
# reader of the answer goes away; the web server ends a run.
# Each gives its defined answer, byte for byte, its exit status and its log line.
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_faults.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"
login_start

S="sid=$GOOD_SID"
BODY='{"entries":[{"id":7,"name":"ch7"}],"total_count":1}'
OK_ANSWER='{"result":"success","errcode":0,"errmsg":"OK","total_count":0,"enable_dvr":0}'
# The backend as the failure line names it.
B='backend 127\.0\.0\.1:9981'

# The request of PROGRAM that the cases use to reach the backend.
program_query() {
	if [[ $1 == tunerbay ]]; then echo 'subfunc=info&todo=list&index=0'; else echo "subfunc=info&todo=list&$S"; fi
}

# after_ms MS COMMAND...: runs COMMAND in the background after MS milliseconds;
# its job's pid is in AFTER_PID.
after_ms() {
	local ms=$1
	shift
	(
		sleep "$(printf '%d.%03d' $((ms / 1000)) $((ms % 1000)))"
		"$@"
	) &
	AFTER_PID=$!
}

# signal_run_after SIGNAL SECONDS: the next run gets SIGNAL after SECONDS, as
# from a web server that ends a CGI which takes too long.
signal_run_after() {
	# shellcheck disable=SC2016 # expanded by the wrapper's own shell
	# Job control keeps the run from starting with SIGINT and SIGQUIT ignored,
	# as a shell's background commands otherwise do.
	RUN_WRAP=(bash -c 'set -m; "$@" & p=$!; sleep '"$2"'; kill -'"$1"' $p; wait $p' web-server)
}

# Ends the backend at once, as a crash would (no orderly shutdown of its own).
backend_crash() {
	local pid
	pid=$(backend_pid) && kill -KILL "$pid"
}

# expect_stream_prefix LABEL MIN: the output is the relay's header lines and
# then an unchanged beginning of the stream pattern, at least MIN bytes of it.
expect_stream_prefix() {
	local label=$1 min=$2 header_len got want=$NAS_OUT/stream.prefix
	header_len=$(printf '%b' "$TS_HEADER" | wc -c)
	got=$(($(stat -c %s "$RUN_OUT") - header_len))
	make_expected_stream "$got" "$want"
	_expect_same_file "$label: header lines, then $got stream bytes unchanged" "$RUN_OUT" "$want"
	check "$label: at least the $min bytes sent before (got $got)" test "$got" -ge "$min"
}

# ============================================================================
# The backend dies or stops listening

G=backend-dies

for program in tunerbay epg; do
	# 200,000 bytes go out, then the backend stalls and is killed; the relay
	# ends with the stream's end and passes on exactly what came before it.
	case_in $G "$program: killed in a pause of the stream"
	backend_start
	set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' 'piece 4096' \
		'stream 200000' 'pause 5000' 'stream 200000' close)"
	after_ms 1000 backend_crash
	run_cgi $program GET "$(program_query $program)"
	expect_status "exit status 0" 0
	expect_stream_prefix "relayed" 200000
	check "ended soon after the backend (${RUN_MS} ms)" test "$RUN_MS" -lt 3000
	expect_lines "nothing in the log" "$RUN_ERR"
	wait "$AFTER_PID"

	# Killed while packets are still flowing: whatever arrived is a clean prefix.
	case_in $G "$program: killed while the stream flows"
	backend_start
	{
		printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' 'piece 1316'
		for _ in {1..60}; do printf '%s\n' 'stream 18800' 'pause 40'; done
		printf '%s\n' close
	} >"$BACKEND_DIR/answer"
	after_ms 700 backend_crash
	run_cgi $program GET "$(program_query $program)"
	expect_status "exit status 0" 0
	expect_stream_prefix "relayed" 18800
	check "the stream was cut short ($(($(stat -c %s "$RUN_OUT") - 95)) of 1128000 bytes)" \
		test "$(stat -c %s "$RUN_OUT")" -lt $((95 + 1128000))
	wait "$AFTER_PID"

	# Accepted, then killed before reading the request (a crash between the
	# process check and the exchange): no answer, so the usual failure.
	case_in $G "$program: killed before it read the request"
	backend_start
	set_answer "$(printf '%s\n' 'wait 3000' "json $BACKEND_DIR/body.json")"
	printf '%s' "$BODY" >"$BACKEND_DIR/body.json"
	after_ms 600 backend_crash
	run_cgi $program GET "$(program_query $program)"
	expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255
	check "ended soon after the backend (${RUN_MS} ms)" test "$RUN_MS" -lt 2500
	expect_log_line "the failure line" "$program: info/list: $B: (closed without an answer|receive: Connection reset by peer)"
	wait "$AFTER_PID"

	case_in $G "$program: killed after half a body"
	backend_start
	set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 5000\r\n\r\n' \
		"text {\"entries\":[$(printf '1,%.0s' {1..1000})" 'pause 3000' close)"
	after_ms 600 backend_crash
	run_cgi $program GET "$(program_query $program)"
	expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255
	expect_log_line "the failure line" "$program: info/list: $B: (answer cut short|receive: Connection reset by peer)"
	wait "$AFTER_PID"
done

# The backend dies while a long request is still being sent: with socket
# buffers of 4 KiB (this network namespace only) a request of nearly the
# largest QUERY_STRING the system passes on (128 KiB) cannot be taken in
# before the backend reads. A second process of the backend's name stays, so
# the program takes the backend for running after its failed send. The send
# fails without a SIGPIPE, and the answer is the usual failure.
SYSCTL_TCP=/proc/sys/net/ipv4
saved_rmem=$(cat "$SYSCTL_TCP/tcp_rmem")
saved_wmem=$(cat "$SYSCTL_TCP/tcp_wmem")
big_query="subfunc=network&todo=add&index=0&entries=$(yes '%7B%22id%22%3A4711%7D,' | tr -d '\n' | head -c 131000)"
big_query=${big_query:0:131000}
# Shows in which system call the program waited, then ends the backend.
crash_and_show_the_wait() {
	local p comm
	for p in /proc/[0-9]*; do
		proc_name "${p#/proc/}" comm || continue
		[[ $comm == tunerbay || $comm == epg ]] &&
			echo "# $comm was in system call $(cut -d' ' -f1 "$p/syscall" 2>/dev/null) ($(cat "$p/wchan" 2>/dev/null)) when the backend died"
	done
	backend_crash
}
for program in tunerbay epg; do
	case_in $G "$program: killed while a 128 KiB request is being sent"
	mkdir -p "$NAS_DIR/namesake"
	"$NAS_DIR/bin/tvheadend" --dir "$NAS_DIR/namesake" --no-listen &
	namesake=$!
	# Before the backend listens: its connections take their buffers from it.
	echo '4096 4096 4096' >"$SYSCTL_TCP/tcp_rmem"
	echo '4096 4096 4096' >"$SYSCTL_TCP/tcp_wmem"
	backend_start
	set_answer 'wait 3000'
	after_ms 600 crash_and_show_the_wait
	if [[ $program == tunerbay ]]; then
		run_cgi tunerbay GET "$big_query"
	else
		run_cgi epg GET "subfunc=record&todo=add&$S&${big_query#subfunc=network&todo=add&index=0&}"
	fi
	expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255
	expect_log_line "the failure line" "$program: (network|record)/add: $B: send: (Connection reset by peer|Broken pipe)"
	wait "$AFTER_PID"
	echo "$saved_rmem" >"$SYSCTL_TCP/tcp_rmem"
	echo "$saved_wmem" >"$SYSCTL_TCP/tcp_wmem"
	kill "$namesake"
	wait "$namesake" 2>/dev/null
done

# epg holds the backend connection open while it checks the session; the
# backend dies meanwhile, so the forward finds a closed connection.
case_in $G "epg: killed during the session check"
backend_start
login_misbehave stall
json_answer "$BODY"
after_ms 600 backend_crash
run_cgi epg GET "subfunc=info&todo=list&$S"
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255
expect_lines "the session was checked" "$LOGIN_REQUESTS" "1 http POST sid=[$GOOD_SID] service=[100]"
expect_log_line "the failure line" "epg: info/list: $B: (send: .+|closed without an answer|receive: .+)"
wait "$AFTER_PID"

# The backend has ended and its parent never reaps it: /proc still lists a
# process of its name, a zombie, but nothing of it runs.
zombie_listed() {
	cat /proc/[0-9]*/stat 2>/dev/null | grep -q '^[0-9]* (tvheadend) Z '
}
for program in tunerbay epg; do
	case_in $G "$program: only a zombie of the backend is left"
	sh -c '"$0" --print-stream 0 & exec sleep 60' "$NAS_DIR/bin/tvheadend" &
	zombie_parent=$!
	check "a zombie named tvheadend" _wait_for 250 zombie_listed
	run_cgi $program GET "$(program_query $program)"
	[[ $program == tunerbay ]] && want=$NOT_READY_ANSWER || want=$ERR_SERVER_MISSING
	expect_answer "answered as without a backend" "$want" 0
	expect_log_line "the failure line" "$program: info/list: backend process not running"
	kill "$zombie_parent"
	wait "$zombie_parent" 2>/dev/null
done

# The process runs but nothing listens on its port: the process check passes,
# the connection fails.
no_listen_case() { # no_listen_case PROGRAM QUERY EXPECTED STATUS
	case_in $G "$1 with a backend that does not listen: $2"
	backend_start --no-listen
	run_cgi "$1" GET "$2"
	expect_answer "answer" "$3" "$4"
	expect_lines "no DVR service command" "$NAS_LOG/dvr.log"
	expect_log_line "the failure line" "$1: [a-z]+/[a-z]+: $B: connect: Connection refused"
}
no_listen_case tunerbay 'subfunc=option&todo=get&index=0' "$ERR_EXPECTATION" 255
no_listen_case tunerbay 'subfunc=info&todo=list' "$ERR_EXPECTATION" 255
no_listen_case tunerbay 'subfunc=feoption&todo=list&index=1' "$ERR_EXPECTATION" 255
no_listen_case tunerbay 'subfunc=network&todo=delete&index=0&id=5' "$ERR_EXPECTATION" 255
no_listen_case tunerbay 'subfunc=scan&todo=get' "$ERR_EXPECTATION" 255
no_listen_case epg "subfunc=record&todo=add&$S" "$ERR_CANT_CONNECT" 0
no_listen_case epg "subfunc=smart&todo=add&$S" "$ERR_CANT_CONNECT" 0

# The DVR service starts a backend that never listens: after the fixed wait
# the forward fails while the process runs.
case_in $G "tunerbay DVR start brings up a backend that does not listen"
printf '%s\n' --no-listen >"$NAS_DIR/dvr.args"
run_cgi tunerbay GET 'subfunc=option&todo=update&index=1&enable_dvr=1'
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255
expect_lines "DVR service started" "$NAS_LOG/dvr.log" start
check "waited the fixed 5 s (took ${RUN_MS} ms)" test "$RUN_MS" -ge 5000 -a "$RUN_MS" -lt 7000
expect_log_line "the failure line" "tunerbay: option/update: $B: connect: Connection refused"

# ============================================================================
# Peers that accept and then fall silent, or never finish: the client's own
# limits (15 s of silence, 60 s for an exchange from its send, 30 s of silence
# for a stream) are the unit tests' rows, with short limits. Here: the login
# check over HTTPS, which curl bounds with its own limit, and what ends at once.

G=deadline

# expect_ended_after LABEL MIN_MS MAX_MS
expect_ended_after() {
	check "$1 (${RUN_MS} ms)" test "$RUN_MS" -ge "$2" -a "$RUN_MS" -lt "$3"
}

# login_refused PATH MODE LABEL LOG: epg checks a known session over PATH with a
# login service that misbehaves in MODE; it is refused and nothing forwarded.
login_refused() {
	case_in $G "$3, checked over $1"
	backend_start
	[[ $1 == https ]] && https_only
	login_misbehave "$2"
	run_cgi epg GET "subfunc=info&todo=list&$S"
	expect_answer "not confirmed" "$ERR_AUTH" 0
	expect_no_request "nothing forwarded"
	expect_log_line "the failure line" "epg: info/list: $4"
}

login_refused https silent "the login service never answers" '/sbin/curl: ended with status 28'
expect_ended_after "ended after curl's limit" 14500 25000

case_in $G "tunerbay: a chunked answer whose trailer never ends"
backend_start
printf 'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n%s' "$(printf 'X-Trailer: %s\r\n' {1..20000})" >"$NAS_OUT/trailer.raw"
set_answer "$(printf '%s\n' "raw $NAS_OUT/trailer.raw" 'pause 60000')"
run_cgi tunerbay GET "$(program_query tunerbay)"
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255
expect_ended_after "given up at once, not read on" 0 5000
expect_log_line "the failure line" "tunerbay: info/list: $B: malformed chunked coding"

case_in $G "epg: the configuration tool hangs"
backend_start
printf '#!/bin/sh\nexec sleep 40\n' >/sbin/getcfg
run_cgi epg GET "subfunc=info&todo=list&$S"
expect_answer "not confirmed" "$ERR_AUTH" 0
expect_lines "no login request" "$LOGIN_REQUESTS"
expect_ended_after "each of its two runs ended after 10 s" 19500 25000
expect_log_line "the failure line" "epg: info/list: /sbin/getcfg: past its deadline of 10 s"
install -m 0755 "$STANDIN_BIN/getcfg" /sbin/getcfg

# ============================================================================
# The login service is down, fails or stalls

G=login-service

login_pid() {
	cat "$LOGIN_DIR/lighttpd.pid" 2>/dev/null
}

case_in $G "down"
pid=$(login_pid)
kill "$pid"
check "the login service stopped" _wait_for 250 _gone "$pid"
for path in http https; do
	case_in $G "down, checked over $path"
	backend_start
	[[ $path == https ]] && https_only
	run_cgi epg GET "subfunc=info&todo=list&$S"
	expect_answer "not confirmed" "$ERR_AUTH" 0
	expect_no_request "nothing forwarded"
	check "ended at once (${RUN_MS} ms)" test "$RUN_MS" -lt 3000
	expect_log_line "the failure line" "epg: info/list: (login service 127\.0\.0\.1:[0-9]+: connect: Connection refused|/sbin/curl: ended with status 7)"
done
case_in $G "up again"
login_start
backend_start
json_answer "$BODY"
run_cgi epg GET "subfunc=info&todo=list&$S"
expect_answer "confirmed" "$BODY" 0

for path in http https; do
	login_refused $path fail "fails (status 500)" "(login service 127\.0\.0\.1:[0-9]+: answer status 500|login service refused the session)"
	expect_lines "one login request" "$LOGIN_REQUESTS" "1 $path POST sid=[$GOOD_SID] service=[100]"
done

# A stalled login service keeps the run waiting (no time limits of its own)
# until the web server ends it: status 255 and not a byte of answer. What the
# run started ends by the time the login service answers (3 s) at the latest.
run_leftovers() {
	programs_running epg tunerbay curl getcfg
}
no_run_leftovers() {
	[[ -z $(run_leftovers) ]]
}
for path in http https; do
	case_in $G "stalls, checked over $path; the web server ends the run"
	backend_start
	[[ $path == https ]] && https_only
	login_misbehave stall
	signal_run_after TERM 1
	run_cgi epg GET "subfunc=info&todo=list&$S"
	expect_status "exit status 255" 255
	expect_bytes "nothing written" "$RUN_OUT" ''
	expect_no_request "nothing forwarded"
	left=$(run_leftovers)
	[[ -n $left ]] && echo "# still running right after the run:$left"
	check "nothing of the run left running once the login service answered" _wait_for 250 no_run_leftovers
done

# ============================================================================
# The configuration tool or the transfer tool is missing, broken or hangs

G=config-tool

getcfg_case() { # getcfg_case WHY: /sbin/getcfg is changed by the caller, WHY the line's end
	for path in http https; do
		backend_start
		[[ $path == https ]] && https_only
		run_cgi epg GET "subfunc=info&todo=list&$S"
		expect_answer "not confirmed ($path configured)" "$ERR_AUTH" 0
		expect_lines "no login request ($path configured)" "$LOGIN_REQUESTS"
		expect_no_request "nothing forwarded ($path configured)"
		expect_log_line "the failure line ($path configured)" "epg: info/list: /sbin/getcfg: $1"
	done
}

case_in $G "missing"
rm -f /sbin/getcfg
getcfg_case missing

case_in $G "not executable"
install -m 0644 "$STANDIN_BIN/getcfg" /sbin/getcfg
getcfg_case 'Permission denied'

case_in $G "answers nothing and fails"
printf '#!/bin/sh\nexit 1\n' >/sbin/getcfg
chmod 0755 /sbin/getcfg
getcfg_case 'ended with status 1'

case_in $G "fails for the HTTPS-only switch alone: plain HTTP, and a check that succeeds writes no line"
printf '#!/bin/sh\n[ "$2" = "Force SSL" ] && exit 1\nexec %s "$@"\n' "$STANDIN_BIN/getcfg" >/sbin/getcfg
backend_start
json_answer "$BODY"
run_cgi epg GET "subfunc=info&todo=list&$S"
expect_answer "confirmed over HTTP" "$BODY" 0
expect_lines "nothing in the log" "$RUN_ERR"

install -m 0755 "$STANDIN_BIN/getcfg" /sbin/getcfg

# The tool prints its value and ends, but a helper it left behind holds its
# output: what it printed is used at once.
case_in $G "leaves a helper holding its output"
printf '#!/bin/sh\n%s "$@"\nsleep 60 &\necho $! >>%s\n' "$STANDIN_BIN/getcfg" "$NAS_DIR/helper.pids" >/sbin/getcfg
backend_start
json_answer "$BODY"
run_cgi epg GET "subfunc=info&todo=list&$S"
expect_answer "confirmed" "$BODY" 0
check "at once (${RUN_MS} ms)" test "$RUN_MS" -lt 3000
expect_lines "nothing in the log" "$RUN_ERR"
while read -r helper; do kill "$helper"; done <"$NAS_DIR/helper.pids"
rm -f "$NAS_DIR/helper.pids"

install -m 0755 "$STANDIN_BIN/getcfg" /sbin/getcfg

# A transfer tool that hangs past its own --max-time is ended 5 s later.
case_in $G "HTTPS only, the transfer tool hangs"
backend_start
https_only
printf '#!/bin/sh\necho $$ >%s\nexec sleep 60\n' "$NAS_DIR/curl.pid" >/sbin/curl
run_cgi epg GET "subfunc=info&todo=list&$S"
expect_answer "not confirmed" "$ERR_AUTH" 0
check "ended 20 s after its start (took ${RUN_MS} ms)" test "$RUN_MS" -ge 19500 -a "$RUN_MS" -lt 23000
expect_log_line "the failure line" "epg: info/list: /sbin/curl: past its deadline of 20 s"
check "nothing of the run left running" test ! -d "/proc/$(cat "$NAS_DIR/curl.pid")"

case_in $G "HTTPS only, the transfer tool missing"
backend_start
https_only
rm -f /sbin/curl
run_cgi epg GET "subfunc=info&todo=list&$S"
expect_answer "not confirmed" "$ERR_AUTH" 0
expect_lines "no login request" "$LOGIN_REQUESTS"
expect_log_line "the failure line" "epg: info/list: /sbin/curl: missing"
install -m 0755 "$(command -v curl)" /sbin/curl

case_in $G "back in place"
backend_start
json_answer "$BODY"
run_cgi epg GET "subfunc=info&todo=list&$S"
expect_answer "confirmed" "$BODY" 0

# ============================================================================
# The DVR service script is missing or hangs: not noticed, the row goes on

G=dvr-script

for how in missing not-executable; do
	case_in $G "$how, DVR wished, no backend"
	if [[ $how == missing ]]; then rm -f "$DVR_SCRIPT"; else chmod 0644 "$DVR_SCRIPT"; fi
	run_cgi tunerbay GET 'subfunc=option&todo=update&index=1&enable_dvr=1'
	expect_answer "empty success" '' 0
	expect_log_line "the failure line" "tunerbay: option/update: $DVR_SCRIPT start: (missing|Permission denied)"
	check "no wait for a start that could not begin (took ${RUN_MS} ms)" test "$RUN_MS" -lt 2000
	check "no backend came up" test -z "$(backend_pid)"
	expect_lines "the script did not run" "$NAS_LOG/dvr.log"

	case_in $G "$how, DVR not wished, backend runs"
	backend_start
	pid=$(backend_pid)
	run_cgi tunerbay GET 'subfunc=option&todo=update&index=1&enable_dvr=0'
	expect_answer "OK answer" "$OK_ANSWER" 0
	check "the backend still runs" test -d "/proc/$pid"
	expect_backend_untouched "backend not contacted"
	check "no failure line for an answer that reports success" test ! -s "$RUN_ERR"
	install -m 0755 "$STANDIN_DIR/dvr.sh" "$DVR_SCRIPT"
done

# A half-done service start is worse than a finished one: the script runs to
# its end when the web server ends the run in the middle of it.
case_in $G "the web server ends the run during the start"
: >"$NAS_DIR/dvr.slow"
signal_run_after TERM 1
run_cgi tunerbay GET 'subfunc=option&todo=update&index=1&enable_dvr=1'
expect_status "exit status 255" 255
check "the script ran to its end" _wait_for 250 grep -qx 'start finished' "$NAS_LOG/dvr.log"
check "the backend came up" test -n "$(backend_pid)"

# A start that never ends: the answer waits 30 s for it, then goes on as after
# its end; the script is not ended, and runs on by itself.
case_in $G "the start hangs"
: >"$NAS_DIR/dvr.hang"
json_answer '{"result":"success","errcode":0,"errmsg":"OK","enable_dvr":1}'
RUN_TIMEOUT=90 run_cgi tunerbay GET 'subfunc=option&todo=update&index=1&enable_dvr=1'
expect_answer "the backend's answer" '{"result":"success","errcode":0,"errmsg":"OK","enable_dvr":1}' 0
check "answered once the script had 30 s (took ${RUN_MS} ms)" test "$RUN_MS" -ge 29500 -a "$RUN_MS" -lt 33000
script=$(programs_running dvr.sh)
check "the script still runs" test -n "$script"
for p in $script; do kill "${p%%:*}"; done

# ============================================================================
# /tmp is read-only: the programs need no file of their own

G=tmp-read-only
RO_TMP=(unshare --mount -- sh -c 'mount -o remount,bind,ro /tmp && exec "$@"' ro-tmp)

case_in $G "the wrapper makes /tmp read-only"
check "a write to /tmp fails under it" "${RO_TMP[@]}" sh -c '! touch /tmp/probe 2>/dev/null'
check "and only under it" test ! -e /tmp/probe

# ro_case LABEL PROGRAM QUERY EXPECTED STATUS [ANSWER]: ANSWER is the backend's
# answer script, "-" for no backend; without it the backend answers BODY.
ro_case() {
	local label=$1 program=$2 query=$3 expected=$4 status=$5 answer=${6-}
	case_in $G "$label"
	if [[ $answer != - ]]; then
		backend_start
		json_answer "$BODY"
		[[ -n $answer ]] && set_answer "$answer"
	fi
	[[ $label == *HTTPS* ]] && https_only
	RUN_WRAP=("${RO_TMP[@]}")
	run_cgi "$program" GET "$query"
	expect_answer "answer" "$expected" "$status"
}
ro_case "tunerbay forward" tunerbay 'subfunc=region&todo=list' "$BODY" 0
ro_case "tunerbay unknown command (returns through the tear-down)" tunerbay 'subfunc=tuner&todo=list' "$ERR_UNKNOWN" 0
ro_case "tunerbay own answer" tunerbay 'subfunc=info&todo=list' "$NOT_READY_ANSWER" 0 -
expect_log_line "the failure line" "tunerbay: info/list: backend process not running"
ro_case "tunerbay backend answers 404" tunerbay 'subfunc=region&todo=get' "$ERR_EXPECTATION" 255 \
	'text HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\n{}'
expect_log_line "the failure line" "tunerbay: region/get: $B: answer status 404"
ro_case "epg forward, session checked over HTTP" epg "subfunc=info&todo=list&$S" "$BODY" 0
ro_case "epg forward, session checked over HTTPS" epg "subfunc=record&todo=add&$S" "$BODY" 0
ro_case "epg unknown command (returns through the tear-down)" epg "subfunc=record&todo=list&$S" "$ERR_UNKNOWN" 0
ro_case "epg without backend" epg "subfunc=info&todo=list&$S" "$ERR_SERVER_MISSING" 0 -
expect_log_line "the failure line" "epg: info/list: backend process not running"

case_in $G "epg stream relay"
backend_start
set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' 'stream 300000' close)"
RUN_WRAP=("${RO_TMP[@]}")
run_cgi epg GET "subfunc=info&todo=list&$S"
expect_status "exit status 0" 0
expect_stream_prefix "relayed" 300000
check "no scratch file anywhere" bash -c '! compgen -G "/tmp/dvrxmltmp*"'

# ============================================================================
# The reader of the answer goes away; the web server ends a run

G=reader-and-signals

# The web server stops reading a stream after 100,000 bytes: the run ends at
# once (SIGPIPE is its defined end here), and the backend serves on.
for program in tunerbay epg; do
	case_in $G "$program: the reader leaves a stream"
	backend_start
	set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' 'piece 65536' \
		'stream 100000000' close)" 1
	json_answer "$BODY" 2
	# shellcheck disable=SC2016 # expanded by the wrapper's own shell
	RUN_WRAP=(bash -c '"$@" | head -c 100000 >/dev/null; echo "${PIPESTATUS[0]}" >'"$NAS_OUT/leaver.status" leaver)
	run_cgi $program GET "$(program_query $program)"
	leaver=$(cat "$NAS_OUT/leaver.status")
	check "ended with status 0 or by SIGPIPE (status $leaver)" test "$leaver" = 0 -o "$leaver" = 141
	check "ended at once (${RUN_MS} ms)" test "$RUN_MS" -lt 3000
	RUN_WRAP=()
	run_cgi $program GET "$(program_query $program)"
	expect_answer "the backend serves the next request" "$BODY" 0
done

# A web server may hand over a standard output that does not block: a write
# that finds the pipe full must wait, not drop the rest of the answer.
NONBLOCKING_STDOUT=(python3 -c 'import fcntl, os, sys
fcntl.fcntl(1, fcntl.F_SETFL, fcntl.fcntl(1, fcntl.F_GETFL) | os.O_NONBLOCK)
os.execvp(sys.argv[1], sys.argv[1:])')
big_body="{\"entries\":\"$(head -c 3000000 /dev/zero | tr '\0' 'e')\"}"
printf '%s' "$big_body" >"$NAS_OUT/big.json"
for program in tunerbay epg; do
	case_in $G "$program: standard output does not block, a 3 MB answer"
	backend_start
	set_answer "json $NAS_OUT/big.json"
	RUN_WRAP=("${NONBLOCKING_STDOUT[@]}")
	run_cgi $program GET "$(program_query $program)"
	check "the whole answer ($(stat -c %s "$RUN_OUT") bytes written)" answered "$big_body" 0

	case_in $G "$program: standard output does not block, a stream"
	backend_start
	set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' 'stream 3000000' close)"
	RUN_WRAP=("${NONBLOCKING_STDOUT[@]}")
	run_cgi $program GET "$(program_query $program)"
	expect_status "exit status 0" 0
	expect_stream_prefix "relayed" 3000000
done

# An answer that cannot be written (a full disk behind the web server) is no
# success: status 255, and the line says why.
case_in $G "tunerbay: the answer cannot be written"
backend_start
json_answer "$BODY"
RUN_WRAP=(bash -c '"$@" >/dev/full' full)
run_cgi tunerbay GET "$(program_query tunerbay)"
expect_status "exit status 255" 255
expect_log_line "the failure line" "tunerbay: info/list: answer: write: No space left on device"

# The web server ends a run that waits for a stalled backend: the fault
# handler ends it with status 255, and nothing is written.
for program in tunerbay epg; do
	for sig in TERM HUP INT; do
		case_in $G "$program: SIG$sig while the backend stalls"
		backend_start
		set_answer 'wait 10000'
		signal_run_after "$sig" 0.5
		run_cgi $program GET "$(program_query $program)"
		expect_status "exit status 255" 255
		expect_bytes "nothing written" "$RUN_OUT" ''
		check "no failure line" lacks "^$program:" "$RUN_ERR"
	done
done

# A signal outside the handled set keeps its default action.
case_in $G "tunerbay: SIGQUIT while the backend stalls"
backend_start
set_answer 'wait 10000'
signal_run_after QUIT 0.5
run_cgi tunerbay GET 'subfunc=network&todo=list'
expect_status "ended by the signal's default action (131)" 131
expect_bytes "nothing written" "$RUN_OUT" ''

case_in $G "no scratch files left"
check "no /tmp/dvrxmltmp*.xml" bash -c '! compgen -G "/tmp/dvrxmltmp*"'

group_counts
sandbox_finish
