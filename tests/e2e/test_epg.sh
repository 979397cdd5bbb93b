#!/bin/bash
# epg end to end: the shipped program, unchanged, in a sandboxed NAS with the
# backend stand-in and the NAS login service (lighttpd, HTTP and HTTPS). The
# order of the checks (backend process, connection, session, decision), every
# row of the decision table, the session check over both paths with the exact
# configuration-tool runs and login requests, hostile session ids, and the
# answers byte for byte with exit statuses.
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_epg.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"
login_start

PATH_EPG=/xrec/epg.cgi
BODY='{"entries":[{"channel":"ch1","title":"News","start":1700000000}],"total_count":1}'

GETCFG_FORCE_SSL='[System] [Force SSL] [-d] [0] [-f] [/etc/config/Moravel.conf]'
GETCFG_WEB_PORT='[System] [Web Access Port] [-f] [/etc/config/Moravel.conf]'
GETCFG_SSL_PORT='[Stunnel] [port] [-d] [443] [-f] [/etc/config/Moravel.conf]'

# The session check took the plain HTTP path for SID: the configuration tool
# ran exactly twice, and the login service got one POST with a line feed.
expect_http_validation() {
	local sid=$1
	expect_lines "configuration read: HTTPS-only switch, then the web port" "$NAS_LOG/getcfg.log" \
		"$GETCFG_FORCE_SSL" "$GETCFG_WEB_PORT"
	expect_lines "one login request over HTTP" "$LOGIN_REQUESTS" "1 http POST sid=[$sid] service=[100]"
	expect_bytes "login form body ends with a line feed" "$LOGIN_DIR/body.1" "sid=$sid&service=100\n"
}

# The same for the HTTPS path: one transfer-tool run, no line feed.
expect_https_validation() {
	local sid=$1
	expect_lines "configuration read: HTTPS-only switch, then the Stunnel port" "$NAS_LOG/getcfg.log" \
		"$GETCFG_FORCE_SSL" "$GETCFG_SSL_PORT"
	expect_lines "one login request over HTTPS" "$LOGIN_REQUESTS" "1 https POST sid=[$sid] service=[100]"
	expect_bytes "login form data without a line feed" "$LOGIN_DIR/body.1" "sid=$sid&service=100"
}

expect_no_validation() {
	expect_lines "no configuration read" "$NAS_LOG/getcfg.log"
	expect_lines "no login request" "$LOGIN_REQUESTS"
}

# --- The backend process and its port come first -----------------------------

# Every row of the decision table meets this first as well (epg_row below).
for query in 'subfunc=info&todo=list' 'subfunc=info&todo=list&sid=' ''; do
	case_begin "no backend, query '$query'"
	run_cgi epg GET "$query"
	expect_answer "server missing" "$ERR_SERVER_MISSING" 0
	expect_no_validation
done

case_begin "backend runs but refuses connections"
backend_start --no-listen
run_cgi epg GET "subfunc=info&todo=list&sid=$GOOD_SID"
expect_answer "errcode -3 answer" "$ERR_CANT_CONNECT" 0
expect_no_validation

case_begin "backend runs but refuses connections, no sid"
backend_start --no-listen
run_cgi epg GET 'subfunc=info&todo=list'
expect_answer "errcode -3 answer" "$ERR_CANT_CONNECT" 0

# --- The session check ------------------------------------------------------

case_begin "no sid"
backend_start
run_cgi epg GET 'subfunc=info&todo=list'
expect_answer "errcode -5 answer" "$ERR_AUTH" 0
expect_no_request "nothing forwarded"
expect_lines "no login request" "$LOGIN_REQUESTS"

case_begin "empty sid"
backend_start
run_cgi epg GET 'subfunc=info&todo=list&sid='
expect_answer "errcode -5 answer" "$ERR_AUTH" 0
expect_no_request "nothing forwarded"
expect_lines "no login request" "$LOGIN_REQUESTS"

case_begin "unknown sid over HTTP"
backend_start
run_cgi epg GET 'subfunc=info&todo=list&sid=BadSession1'
expect_answer "errcode -5 answer" "$ERR_AUTH" 0
expect_http_validation BadSession1
expect_no_request "nothing forwarded"

case_begin "good sid over HTTP"
backend_start
json_answer "$BODY"
query="subfunc=info&todo=list&sid=$GOOD_SID&up=0&down=50&channel=ch1&x=%41+b"
RUN_ENV=("${FIRMWARE_ENV[@]}" "${MORE_REQUEST_ENV[@]}")
run_cgi epg GET "$query"
RUN_ENV=()
expect_answer "backend body relayed" "$BODY" 0
expect_http_validation "$GOOD_SID"
expect_forwarded "GET with the whole raw query" GET "$PATH_EPG" "$query"
expect_clean_child_context "configuration tool" "$NAS_LOG/getcfg" /sbin/getcfg pipe

case_begin "unknown sid over HTTPS"
backend_start
https_only
run_cgi epg GET 'subfunc=info&todo=list&sid=BadSession1'
expect_answer "errcode -5 answer" "$ERR_AUTH" 0
expect_https_validation BadSession1
expect_no_request "nothing forwarded"

# The web server's proxy settings reach the transfer tool, but the login
# service on this box is never asked through a proxy.
case_begin "good sid over HTTPS"
backend_start
https_only
json_answer "$BODY"
query="subfunc=info&todo=list_more&sid=$GOOD_SID&up=50&down=100"
RUN_ENV=(https_proxy=http://127.0.0.1:3128/ ALL_PROXY=http://127.0.0.1:3128/)
run_cgi epg GET "$query"
RUN_ENV=()
expect_answer "backend body relayed" "$BODY" 0
expect_https_validation "$GOOD_SID"
expect_forwarded "GET with the whole raw query" GET "$PATH_EPG" "$query"
check "the transfer tool's output is not in the answer" lacks username "$RUN_OUT"

case_begin "HTTPS-only switch 2 means plain HTTP"
backend_start
nas_config "System/Web Access Port=$LOGIN_HTTP_PORT" "System/Force SSL=2" "Stunnel/port=$LOGIN_HTTPS_PORT"
json_answer "$BODY"
run_cgi epg GET "subfunc=info&todo=list&sid=$GOOD_SID"
expect_answer "backend body relayed" "$BODY" 0
expect_http_validation "$GOOD_SID"

case_begin "HTTPS-only switch as a word means plain HTTP"
backend_start
nas_config "System/Web Access Port=$LOGIN_HTTP_PORT" "System/Force SSL=yes" "Stunnel/port=$LOGIN_HTTPS_PORT"
json_answer "$BODY"
run_cgi epg GET "subfunc=info&todo=list&sid=$GOOD_SID"
expect_answer "backend body relayed" "$BODY" 0
expect_http_validation "$GOOD_SID"

case_begin "no HTTPS-only switch configured means plain HTTP"
backend_start
nas_config "System/Web Access Port=$LOGIN_HTTP_PORT" "Stunnel/port=$LOGIN_HTTPS_PORT"
json_answer "$BODY"
run_cgi epg GET "subfunc=info&todo=list&sid=$GOOD_SID"
expect_answer "backend body relayed" "$BODY" 0
expect_http_validation "$GOOD_SID"

case_begin "HTTPS only without a Stunnel port: the default 443"
backend_start
nas_config "System/Web Access Port=$LOGIN_HTTP_PORT" "System/Force SSL=1"
json_answer "$BODY"
run_cgi epg GET "subfunc=info&todo=list&sid=$GOOD_SID"
expect_answer "backend body relayed" "$BODY" 0
expect_https_validation "$GOOD_SID"

case_begin "no web access port configured"
backend_start
nas_config "System/Force SSL=0" "Stunnel/port=$LOGIN_HTTPS_PORT"
run_cgi epg GET "subfunc=info&todo=list&sid=$GOOD_SID"
expect_answer "errcode -5 answer" "$ERR_AUTH" 0
expect_lines "no login request" "$LOGIN_REQUESTS"
expect_no_request "nothing forwarded"

case_begin "web access port where nothing listens"
backend_start
nas_config "System/Web Access Port=8081" "System/Force SSL=0"
run_cgi epg GET "subfunc=info&todo=list&sid=$GOOD_SID"
expect_answer "errcode -5 answer" "$ERR_AUTH" 0
expect_no_request "nothing forwarded"

case_begin "Stunnel port where nothing listens"
backend_start
nas_config "System/Web Access Port=$LOGIN_HTTP_PORT" "System/Force SSL=1" "Stunnel/port=8444"
run_cgi epg GET "subfunc=info&todo=list&sid=$GOOD_SID"
expect_answer "errcode -5 answer" "$ERR_AUTH" 0
expect_lines "no login request" "$LOGIN_REQUESTS"
expect_no_request "nothing forwarded"

long_name=$(printf 'n%.0s' {1..200})
for path in http https; do
	case_begin "user name of 200 characters over $path"
	backend_start
	[[ $path == https ]] && https_only
	login_sessions "$(printf '%s\t%s' LongNameSid "$long_name")"
	run_cgi epg GET 'subfunc=info&todo=list&sid=LongNameSid'
	expect_answer "refused, not cut" "$ERR_AUTH" 0
	expect_no_request "nothing forwarded"
done

# The transfer tool runs with -q: a .curlrc in the account's home (the home of
# a private mount here) can neither send the answer elsewhere nor add a proxy.
case_begin "a .curlrc in the account's home changes nothing"
backend_start
https_only
json_answer "$BODY"
home=$(getent passwd "$(id -u)" | cut -d: -f6)
mount -t tmpfs sandbox-home "$home"
printf 'output = "%s"\nproxy = "http://127.0.0.1:3128"\n' "$NAS_DIR/curlrc.out" >"$home/.curlrc"
run_cgi epg GET "subfunc=info&todo=list&sid=$GOOD_SID"
expect_answer "confirmed" "$BODY" 0
check "nothing written where the .curlrc points" test ! -e "$NAS_DIR/curlrc.out"
expect_lines "no progress meter in the web server's log" "$RUN_ERR"
umount "$home"

# --- The decision table, with a confirmed session ----------------------------

# epg_row LABEL QUERY METHOD: with a confirmed session, forwards QUERY with
# METHOD ("-": refuses it); with no backend, answers "server missing" without
# a session check.
epg_row() {
	local label=$1 query=$2 method=$3
	case_begin "$label, backend runs"
	backend_start
	json_answer "$BODY"
	run_cgi epg GET "$query"
	case $method in
	GET)
		expect_answer "backend body relayed" "$BODY" 0
		expect_forwarded "GET with the whole raw query" GET "$PATH_EPG" "$query"
		;;
	POST)
		expect_answer "backend body relayed" "$BODY" 0
		expect_forwarded "POST with the whole raw query as form body" POST "$PATH_EPG" "$query"
		;;
	*)
		expect_answer "unknown command" "$ERR_UNKNOWN" 0
		expect_no_request "nothing forwarded"
		;;
	esac
	expect_lines "session checked" "$LOGIN_REQUESTS" "1 http POST sid=[$GOOD_SID] service=[100]"

	case_begin "$label, no backend"
	run_cgi epg GET "$query"
	expect_answer "server missing" "$ERR_SERVER_MISSING" 0
	expect_no_validation
}

S="sid=$GOOD_SID"
epg_row "info list" "subfunc=info&todo=list&$S&up=0&down=10" GET
epg_row "info list_more" "$S&subfunc=info&todo=list_more&up=10&down=20&unknown=1" GET
epg_row "info other todo" "subfunc=info&todo=get&$S" -
epg_row "info without todo" "subfunc=info&$S" -
epg_row "info empty todo" "subfunc=info&todo=&$S" -
epg_row "record add" "subfunc=record&todo=add&$S&channel=ch1&title=News+at+9&entries=[{\"id\":3}]" POST
epg_row "record other todo" "subfunc=record&todo=list&$S" -
epg_row "smart add" "subfunc=smart&todo=add&$S&title=Film&channel=ch2" GET
epg_row "smart other todo" "subfunc=smart&todo=list&$S" -
epg_row "subfunc in other case" "subfunc=INFO&todo=list&$S" -
epg_row "no subfunc" "todo=list&$S" -
epg_row "unknown subfunc" "subfunc=guide&todo=list&$S" -

# A query longer than the request buffer of the usual requests travels whole.
long_entries=$(for i in $(seq 1 300); do printf '%%7B%%22id%%22%%3A%d%%7D,' "$i"; done)
epg_row "record add with a long query" "subfunc=record&todo=add&$S&entries=[${long_entries}0]" POST
epg_row "info list with a long query" "subfunc=info&todo=list&$S&channel=${long_entries}" GET

# The plain-HTTP form body holds "sid=", the id, "&service=100", a line feed and
# a NUL in 256 bytes: an id of 238 characters fits, a longer one is refused
# unsent. The HTTPS path takes at least as long an id.
sid238=$(printf 'S%.0s' {1..238})
sid239=$(printf 'S%.0s' {1..239})
for path in http https; do
	case_begin "session id of 238 characters over $path"
	backend_start
	[[ $path == https ]] && https_only
	login_sessions "$(printf '%s\tadmin' "$sid238")"
	json_answer "$BODY"
	run_cgi epg GET "subfunc=info&todo=list&sid=$sid238"
	expect_answer "confirmed" "$BODY" 0
	expect_lines "one login request" "$LOGIN_REQUESTS" "1 $path POST sid=[$sid238] service=[100]"
done

case_begin "session id of 239 characters over http"
backend_start
login_sessions "$(printf '%s\tadmin' "$sid239")"
run_cgi epg GET "subfunc=info&todo=list&sid=$sid239"
expect_answer "not confirmed" "$ERR_AUTH" 0
expect_lines "no login request" "$LOGIN_REQUESTS"
expect_no_request "nothing forwarded"

# A POST request: the parameters come from QUERY_STRING, the body is not used.
case_begin "POST request to epg"
backend_start
json_answer "$BODY"
run_cgi epg POST "subfunc=info&todo=list&$S" "subfunc=record&todo=add&$S"
expect_answer "forwarded by the query string" "$BODY" 0
expect_forwarded "GET with the raw query" GET "$PATH_EPG" "subfunc=info&todo=list&$S"

# --- The backend fails after the session check --------------------------------

case_begin "backend answers 404"
backend_start
set_answer 'text HTTP/1.1 404 Not Found\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: 2\r\n\r\n{}'
run_cgi epg GET "subfunc=info&todo=list&$S"
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255

case_begin "backend closes without an answer"
backend_start
set_answer close
run_cgi epg GET "subfunc=record&todo=add&$S"
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255

case_begin "backend answers with status 200 and an empty body"
backend_start
set_answer 'text HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 0\r\n\r\n'
run_cgi epg GET "subfunc=smart&todo=add&$S"
expect_answer "empty success" '' 0

STREAM_BYTES=2000000
stream_expected=$NAS_OUT/stream.expected
make_expected_stream "$STREAM_BYTES" "$stream_expected"

case_begin "transport stream relay"
backend_start
set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' 'stream 376' 'pause 20' \
	'piece 30000' "stream $((STREAM_BYTES - 376))" close)"
run_cgi epg GET "subfunc=info&todo=list&$S"
_expect_same_file "95 header bytes, then the stream byte for byte" "$RUN_OUT" "$stream_expected"
expect_status "exit status 0" 0

# --- Hostile session ids -------------------------------------------------------
# Raw in QUERY_STRING, as a client may send them. None may run a command (the
# mark /tmp/x stays absent), add or change a form field, or be confirmed.

# shellcheck disable=SC2016 # kept from any expansion on purpose
HOSTILE_SIDS=(
	'$(touch /tmp/x)'
	'`touch /tmp/x`'
	'`id`'
	'a;b'
	'a;touch /tmp/x'
	'a|touch /tmp/x'
	'a"b'
	'a";touch /tmp/x;"'
	"a'b"
	"a';touch /tmp/x;'"
	'a b'
	$'a\ntouch /tmp/x'
	$'a\r\nservice=1'
	'a%26service%3D1'
	'x=1&service=1'
	'--output=/tmp/x'
	'@/etc/passwd'
	"$(printf 'L%.0s' {1..300})"
)

# What the login service received, if anything: one sid field and the one
# service field with value 100. A session id without "&", "%" or "+" (which the
# query split or the form decoding would treat specially anyway) must arrive as
# it was sent.
expect_fields_intact() {
	local label=$1 sid=$2 lines shown
	lines=$(wc -l <"$LOGIN_REQUESTS")
	if ((lines == 0)); then
		t_ok "$label (no login request)"
		return
	fi
	if ((lines != 1)) || ! grep -Eq '^1 https? POST sid=\[[^]]*\] service=\[100\]$' "$LOGIN_REQUESTS"; then
		t_fail "$label" "$(cat "$LOGIN_REQUESTS")"
		return
	fi
	t_ok "$label"
	if [[ $sid != *[\&%+]* ]]; then
		# As the login service's log shows it.
		shown=${sid//\\/\\\\}
		shown=${shown//$'\n'/\\n}
		shown=${shown//$'\r'/\\x0d}
		check "$label: the session id arrived unchanged" grep -qF "sid=[$shown] service=[100]" "$LOGIN_REQUESTS"
	fi
}

for path in http https; do
	for sid in "${HOSTILE_SIDS[@]}"; do
		shown=$(printf '%q' "$sid")
		((${#shown} > 40)) && shown="${shown:0:37}..."
		case_begin "hostile sid $shown over $path"
		backend_start
		[[ $path == https ]] && https_only
		# A session of that very name would be confirmed: it must never match.
		run_cgi epg GET "subfunc=info&todo=list&sid=$sid"
		expect_answer "not confirmed" "$ERR_AUTH" 0
		expect_no_mark "no command ran"
		expect_fields_intact "login fields intact" "$sid"
		check "configuration tool ran at most twice" test "$(wc -l <"$NAS_LOG/getcfg.log")" -le 2
		expect_no_request "nothing forwarded"
	done
done

case_begin "no scratch files left"
check "no /tmp/dvrxmltmp*.xml" bash -c '! compgen -G "/tmp/dvrxmltmp*"'

sandbox_finish
