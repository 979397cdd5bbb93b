#!/bin/bash
# Hostile requests end to end: the shipped programs, unchanged, in the sandboxed
# NAS, fed what a careless or malicious browser, a broken backend or a broken
# login service can send. Whatever comes in, each run must end by itself within
# a few seconds with one CGI answer (a JSON document where the program makes
# one), exit status 0 or 255 and never a signal, start no command it was not
# meant to, leave no file and no process behind, and pass the request's bytes
# to the backend exactly as they came.
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_hostile.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"
login_start

# Seconds a hostile run may take; a run that needs longer has hung.
HOSTILE_TIMEOUT=5

S="sid=$GOOD_SID"
BODY='{"entries":[{"id":1,"name":"ch1"}],"total_count":1}'
FAILURE_ANSWER='{"result":"failure","errcode":-1,"errmsg":"ERROR","enable_dvr":0}'

GETCFG_FORCE_SSL='[System] [Force SSL] [-d] [0] [-f] [/etc/config/Moravel.conf]'
GETCFG_WEB_PORT='[System] [Web Access Port] [-f] [/etc/config/Moravel.conf]'
GETCFG_SSL_PORT='[Stunnel] [port] [-d] [443] [-f] [/etc/config/Moravel.conf]'
# The configuration tool's runs the session check may make: two of these.
GETCFG_ALLOWED=("$GETCFG_FORCE_SSL" "$GETCFG_WEB_PORT" "$GETCFG_SSL_PORT")

# filler LEN: LEN bytes of a browser-encoded entries list.
filler() {
	yes '%7B%22id%22%3A4711%7D,' | tr -d '\n' | head -c "$1"
}

# The output is one CGI answer: the three header lines, the empty line and a
# body of exactly the stated length; with KIND "json", the body is one JSON
# document.
expect_cgi_form() {
	local kind=$1 err
	err=$(
		python3 - "$RUN_OUT" "$kind" <<'EOF'
import json, re, sys
data = open(sys.argv[1], "rb").read()
m = re.match(rb"Connection: Close\r\nContent-Type: application/json; charset=UTF-8\r\n"
             rb"Content-Length: (\d+)\r\n\r\n", data)
if not m:
    print("no CGI header block: %r" % data[:120])
    sys.exit()
body = data[m.end():]
if int(m.group(1)) != len(body):
    print("Content-Length %s, but %d body bytes" % (m.group(1), len(body)))
elif sys.argv[2] == "json":
    try:
        json.loads(body)
    except ValueError as e:
        print("the body is no JSON document (%s): %r" % (e, body[:120]))
EOF
	)
	if [[ -z $err ]]; then
		t_ok "one CGI answer${kind:+ ($kind)}"
	else
		t_fail "one CGI answer${kind:+ ($kind)}" "$err"
	fi
}

# The commands a run may start: none for tunerbay (outside the option update),
# the configuration tool with the words of the session check for epg; never the
# DVR service script, and nothing may outlive the run.
expect_only_own_commands() {
	local program=$1 bad=''
	[[ -s $NAS_LOG/dvr.log ]] && bad+=" dvr.sh:$(tr '\n' ' ' <"$NAS_LOG/dvr.log")"
	if [[ $program == tunerbay ]]; then
		[[ -s $NAS_LOG/getcfg.log ]] && bad+=" getcfg ran"
	else
		local -a runs
		local run known
		mapfile -t runs <"$NAS_LOG/getcfg.log"
		((${#runs[@]} <= 2)) || bad+=" getcfg ran ${#runs[@]} times"
		for run in "${runs[@]}"; do
			for known in "${GETCFG_ALLOWED[@]}"; do [[ $run == "$known" ]] && continue 2; done
			bad+=" getcfg $run"
		done
	fi
	local p comm
	for p in /proc/[0-9]*; do
		proc_name "${p#/proc/}" comm || continue
		case $comm in epg | tunerbay | curl | getcfg | dvr.sh) bad+=" process ${p#/proc/} ($comm) left" ;; esac
	done
	if [[ -z $bad ]]; then t_ok "no command but its own, none left running"; else t_fail "only its own commands" "$bad"; fi
	expect_no_mark "no hostile command ran"
}

# hostile_run PROGRAM METHOD QUERY [BODY]: runs the program as the web server
# does, with the time limit, and checks what every hostile run must do. Set
# ANSWER_KIND=any before it for a backend body that is no JSON document.
hostile_run() {
	local before=$NAS_OUT/leftover.before
	leftover_listing >"$before"
	RUN_TIMEOUT=$HOSTILE_TIMEOUT run_cgi "$@"
	if [[ $RUN_STATUS == 0 || $RUN_STATUS == 255 ]]; then
		t_ok "ended by itself with status $RUN_STATUS (${RUN_MS} ms)"
	else
		t_fail "ended by itself with status 0 or 255" "status $RUN_STATUS after ${RUN_MS} ms (124: timed out, >128: signal)" \
			"standard error: $(head -c 400 "$RUN_ERR")"
	fi
	expect_cgi_form "${ANSWER_KIND-json}"
	expect_only_own_commands "$1"
	expect_nothing_left "no file left" "$before"
	check "no scratch file" no_scratch_file
}

no_scratch_file() {
	! compgen -G "/tmp/dvrxmltmp*" >/dev/null
}

# forwarded METHOD PATH QUERY: succeeds when the backend received exactly that.
forwarded() {
	cmp -s "$(backend_request 1)" <(forwarded_request "$@")
}

expect_no_login_request() {
	expect_lines "no login request" "$LOGIN_REQUESTS"
}

# ============================================================================
# A 64 KiB QUERY_STRING, forwarded whole

G=long-query
Q64_TAIL=$(filler 65536)
q64() { # q64 PREFIX: PREFIX and filler, 65536 bytes together
	printf '%s%s' "$1" "${Q64_TAIL:0:$((65536 - ${#1}))}"
}

case_in $G "tunerbay GET forward"
backend_start
json_answer "$BODY"
query=$(q64 'subfunc=region&todo=update&index=0&entries=')
hostile_run tunerbay GET "$query"
expect_answer "relayed" "$BODY" 0
expect_forwarded "GET with all ${#query} bytes" GET /xrec/tunerbay.cgi "$query"

case_in $G "tunerbay POST forward"
backend_start
json_answer "$BODY"
query=$(q64 'subfunc=network&todo=add&index=0&fr=474000000&entries=')
hostile_run tunerbay GET "$query"
expect_answer "relayed" "$BODY" 0
expect_forwarded "POST with all ${#query} bytes as the form body" POST /xrec/tunerbay.cgi "$query"

case_in $G "tunerbay POST request with a 64 KiB body"
backend_start
json_answer "$BODY"
query=$(q64 'subfunc=feoption&todo=list&index=1&x=')
hostile_run tunerbay POST "$query" "$query"
expect_answer "relayed" "$BODY" 0
expect_forwarded "GET with all ${#query} bytes" GET /xrec/tunerbay.cgi "$query"

case_in $G "tunerbay option update with a 64 KiB index"
backend_start
json_answer "$BODY"
index=$(filler 65000)
hostile_run tunerbay GET "subfunc=option&todo=update&enable_dvr=1&idlescan=1&index=$index"
expect_answer "relayed" "$BODY" 0
expect_forwarded "the built query with the whole index" GET /xrec/tunerbay.cgi \
	"subfunc=option&todo=update&index=$index&entry={\"idlescan\":1}"

case_in $G "tunerbay without backend"
hostile_run tunerbay GET "$(q64 'subfunc=region&todo=get&entries=')"
expect_answer "own failure answer" "$FAILURE_ANSWER" 0

case_in $G "tunerbay unknown subfunc"
backend_start
hostile_run tunerbay GET "$(q64 'subfunc=tuner&todo=list&entries=')"
expect_answer "unknown command" "$ERR_UNKNOWN" 0
expect_no_request "nothing forwarded"

case_in $G "tunerbay 64 KiB of separators"
backend_start
hostile_run tunerbay GET "$(printf '&%.0s' {1..65536})"
expect_answer "unknown command" "$ERR_UNKNOWN" 0

case_in $G "tunerbay one 64 KiB key without value"
backend_start
hostile_run tunerbay GET "$(filler 65536)"
expect_answer "unknown command" "$ERR_UNKNOWN" 0

case_in $G "epg GET forward"
backend_start
json_answer "$BODY"
query=$(q64 "subfunc=info&todo=list&$S&channel=")
hostile_run epg GET "$query"
expect_answer "relayed" "$BODY" 0
expect_forwarded "GET with all ${#query} bytes" GET /xrec/epg.cgi "$query"
expect_lines "one login request" "$LOGIN_REQUESTS" "1 http POST sid=[$GOOD_SID] service=[100]"

case_in $G "epg POST forward"
backend_start
json_answer "$BODY"
query=$(q64 "subfunc=record&todo=add&$S&entries=")
hostile_run epg GET "$query"
expect_answer "relayed" "$BODY" 0
expect_forwarded "POST with all ${#query} bytes as the form body" POST /xrec/epg.cgi "$query"

case_in $G "epg POST forward, session checked over HTTPS"
backend_start
https_only
json_answer "$BODY"
query=$(q64 "subfunc=record&todo=add&$S&title=")
hostile_run epg GET "$query"
expect_answer "relayed" "$BODY" 0
expect_forwarded "POST with all ${#query} bytes as the form body" POST /xrec/epg.cgi "$query"

case_in $G "epg without backend"
hostile_run epg GET "$(q64 "subfunc=info&todo=list&$S&channel=")"
expect_answer "server missing" "$ERR_SERVER_MISSING" 0
expect_no_login_request

case_in $G "epg unknown session"
backend_start
hostile_run epg GET "$(q64 'subfunc=info&todo=list&sid=Unknown1&channel=')"
expect_answer "not confirmed" "$ERR_AUTH" 0
expect_no_request "nothing forwarded"

case_in $G "epg 64 KiB session id"
backend_start
hostile_run epg GET "$(q64 'subfunc=info&todo=list&sid=')"
expect_answer "not confirmed" "$ERR_AUTH" 0
expect_no_login_request
expect_no_request "nothing forwarded"

case_in $G "epg unknown subfunc"
backend_start
hostile_run epg GET "$(q64 "subfunc=guide&todo=list&$S&x=")"
expect_answer "unknown command" "$ERR_UNKNOWN" 0
expect_no_request "nothing forwarded"

# Around the 1024-byte request buffer: whole requests of 1021 to 1027 bytes.
GET_AROUND=$(($(forwarded_request GET /xrec/tunerbay.cgi '' | wc -c)))
POST_AROUND=$(($(forwarded_request POST /xrec/tunerbay.cgi "$(filler 900)" | wc -c) - 900))
for total in 1021 1022 1023 1024 1025 1026 1027; do
	case_in $G "tunerbay GET request of $total bytes"
	backend_start
	json_answer "$BODY"
	prefix='subfunc=region&todo=list&x='
	query=$prefix$(filler $((total - GET_AROUND - ${#prefix})))
	hostile_run tunerbay GET "$query"
	expect_answer "relayed" "$BODY" 0
	expect_forwarded "GET of ${#query} query bytes, whole" GET /xrec/tunerbay.cgi "$query"
	check "the request is $total bytes" test "$(stat -c %s "$(backend_request 1)")" -eq "$total"

	case_in $G "tunerbay POST request of $total bytes"
	backend_start
	json_answer "$BODY"
	prefix='subfunc=network&todo=add&x='
	query=$prefix$(filler $((total - POST_AROUND - ${#prefix})))
	hostile_run tunerbay GET "$query"
	expect_answer "relayed" "$BODY" 0
	expect_forwarded "POST of ${#query} body bytes, whole" POST /xrec/tunerbay.cgi "$query"
	check "the request is $total bytes" test "$(stat -c %s "$(backend_request 1)")" -eq "$total"
done

# ============================================================================
# CONTENT_LENGTH of a POST: not a number, negative, 0, beyond every integer.
# A positive number (as atoi reads it: blanks, a sign, leading digits) means
# the parameters are those of QUERY_STRING; anything else means none. The body
# is a few bytes, whatever the number says.

G=content-length
# Beyond the range of int, a number keeps its sign: no wrap-around may turn
# 2147483648 or 4294967296 into "no body", or -4294967295 into 1.
CL_POSITIVE=(1 7 '+7' ' 7' '12abc' 2147483647 2147483648 4294967296 4294967297 99999999999
	18446744073709551616 999999999999999999999999)
CL_NOT_POSITIVE=(0 -0 -1 -7 -2147483648 -4294967295 -99999999999 abc '' 0x10 ' ' '-' '+')

# content_length_case PROGRAM VALUE POSITIVE: POSITIVE 1 or 0.
content_length_case() {
	local program=$1 value=$2 positive=$3 query answer
	case_in $G "$program, CONTENT_LENGTH '$value'"
	backend_start
	json_answer "$BODY"
	RUN_ENV=("CONTENT_LENGTH=$value")
	if [[ $program == tunerbay ]]; then
		query='subfunc=region&todo=list&index=2'
		answer=$ERR_UNKNOWN
	else
		query="subfunc=info&todo=list&$S"
		answer=$ERR_AUTH
	fi
	hostile_run $program POST "$query" 'short'
	if ((positive)); then
		check "parameters taken: forwarded, the backend's body answered" answered "$BODY" 0
		check "the raw query forwarded" forwarded GET "/xrec/$program.cgi" "$query"
	else
		check "no parameters taken: $(if [[ $program == tunerbay ]]; then echo unknown command; else echo no session id; fi)" \
			answered "$answer" 0
		expect_no_request "nothing forwarded"
	fi
}

for program in tunerbay epg; do
	for value in "${CL_POSITIVE[@]}"; do content_length_case "$program" "$value" 1; done
	for value in "${CL_NOT_POSITIVE[@]}"; do content_length_case "$program" "$value" 0; done
done

case_in $G "tunerbay, no CONTENT_LENGTH"
backend_start
RUN_UNSET=(CONTENT_LENGTH)
hostile_run tunerbay POST 'subfunc=region&todo=list' 'subfunc=region&todo=list'
expect_answer "no parameters: unknown command" "$ERR_UNKNOWN" 0

case_in $G "epg, body far longer than CONTENT_LENGTH"
backend_start
json_answer "$BODY"
RUN_ENV=(CONTENT_LENGTH=5)
hostile_run epg POST "subfunc=info&todo=list&$S" "$(filler 200000)"
expect_answer "forwarded by the query string" "$BODY" 0

# ============================================================================
# CGI variables missing or strange

G=missing-variables

# missing_case PROGRAM LABEL EXPECTED METHOD BODY [SETTING...]: a SETTING
# "-NAME" leaves the variable out, "NAME=VALUE" sets it.
missing_case() {
	local program=$1 label=$2 expected=$3 method=$4 body=$5 setting
	shift 5
	case_in $G "$program, $label"
	for setting in "$@"; do
		if [[ $setting == -* ]]; then RUN_UNSET+=("${setting#-}"); else RUN_ENV+=("$setting"); fi
	done
	backend_start
	json_answer "$BODY"
	if [[ $program == tunerbay ]]; then
		hostile_run tunerbay "$method" 'subfunc=region&todo=list' "$body"
	else
		hostile_run epg "$method" "subfunc=info&todo=list&$S" "$body"
	fi
	if [[ $expected == "$BODY" ]]; then
		expect_answer "forwarded" "$expected" 0
	else
		expect_answer "refused" "$expected" 0
		expect_no_request "nothing forwarded"
		[[ $program == epg ]] && expect_no_login_request
	fi
}

SERVER_VARIABLES=(-GATEWAY_INTERFACE -SERVER_SOFTWARE -SERVER_NAME -SERVER_PROTOCOL -SERVER_PORT -SCRIPT_NAME
	-REMOTE_ADDR -HTTP_HOST -HTTP_USER_AGENT -HTTP_ACCEPT -HTTP_COOKIE -HTTP_PROXY)
for program in tunerbay epg; do
	refused=$ERR_UNKNOWN
	[[ $program == epg ]] && refused=$ERR_AUTH
	missing_case $program "no REQUEST_METHOD" "$refused" GET '' -REQUEST_METHOD
	missing_case $program "empty REQUEST_METHOD" "$refused" GET '' REQUEST_METHOD=
	missing_case $program "REQUEST_METHOD in lower case" "$refused" GET '' REQUEST_METHOD=get
	missing_case $program "REQUEST_METHOD with a trailing blank" "$refused" GET '' 'REQUEST_METHOD=GET '
	missing_case $program "REQUEST_METHOD HEAD" "$refused" GET '' REQUEST_METHOD=HEAD
	missing_case $program "REQUEST_METHOD PUT with a body" "$refused" POST "subfunc=region&todo=list&$S" REQUEST_METHOD=PUT
	missing_case $program "GET without QUERY_STRING" "$refused" GET '' -QUERY_STRING
	missing_case $program "POST without QUERY_STRING, parameters in the body" "$refused" POST \
		"subfunc=region&todo=list&$S" -QUERY_STRING
	missing_case $program "neither REQUEST_METHOD nor QUERY_STRING" "$refused" GET '' -REQUEST_METHOD -QUERY_STRING
	missing_case $program "only the request's own variables" "$BODY" GET '' "${SERVER_VARIABLES[@]}"
done

# Format directives and 32 KiB in every variable the programs read.
FORMAT_TEXT=$(printf '%%s%%n%%x%%p%%%%%.0s' {1..3300} | head -c 32768)
for program in tunerbay epg; do
	var_settings=()
	for var in SERVER_SOFTWARE SERVER_NAME GATEWAY_INTERFACE SERVER_PROTOCOL SERVER_PORT PATH_INFO PATH_TRANSLATED \
		SCRIPT_NAME REMOTE_HOST REMOTE_ADDR AUTH_TYPE REMOTE_USER REMOTE_IDENT CONTENT_TYPE HTTP_ACCEPT HTTP_USER_AGENT \
		HTTP_REFERER HTTP_HOST HTTP_COOKIE; do
		var_settings+=("$var=$FORMAT_TEXT")
	done
	missing_case $program "format directives and 32 KiB in every other variable" "$BODY" GET '' "${var_settings[@]}"
done

case_in $G "epg without any variable, no backend"
RUN_UNSET=(REQUEST_METHOD QUERY_STRING "${SERVER_VARIABLES[@]#-}")
hostile_run epg GET ''
expect_answer "server missing" "$ERR_SERVER_MISSING" 0

# ============================================================================
# Raw bytes in values: percent escapes stay as they came, and control bytes,
# blanks and bytes that are no UTF-8 reach the backend byte for byte, but for
# the blanks and control bytes of a GET, which are percent-encoded so that the
# request line stays one line.

G=raw-bytes
# shellcheck disable=SC2016 # kept from any expansion on purpose
RAW_VALUES=(
	'%00'
	'a%00b%0%'
	$'\x01\x02\x03\x07\x08\t\x0b\x0c\x0e\x1b\x1f\x7f'
	$'\xff\xfe\xc3\x28\xc0\xaf\x80\xed\xa0\x80\xf8\x88\x80\x80\x80\xf4\x90\x80\x80'
	$'line\nbreak'
	$'carriage\rreturn'
	$'crlf\r\nsplit: header'
	'a b  c '
	'"<>\`$(touch /tmp/x);|'"'"
	'#frag?x=1/../..'
	'Käse – 日本 📺'
	'%C3%A4%20%2B+'
	'%s%n%x%p%%%99999999s'
)

n=0
for value in "${RAW_VALUES[@]}"; do
	n=$((n + 1))
	case_in $G "tunerbay GET, value $n"
	backend_start
	json_answer "$BODY"
	query="subfunc=network&todo=list&index=0&x=$value&id=$value"
	hostile_run tunerbay GET "$query"
	expect_answer "relayed" "$BODY" 0
	expect_forwarded "GET byte for byte" GET /xrec/tunerbay.cgi "$query"

	case_in $G "tunerbay POST, value $n"
	backend_start
	json_answer "$BODY"
	query="subfunc=network&todo=delete&index=0&id=$value"
	hostile_run tunerbay GET "$query"
	expect_answer "relayed" "$BODY" 0
	expect_forwarded "POST byte for byte, length in bytes" POST /xrec/tunerbay.cgi "$query"

	case_in $G "epg, value $n"
	backend_start
	json_answer "$BODY"
	query="subfunc=smart&todo=add&$S&title=$value&channel=$value"
	hostile_run epg GET "$query"
	expect_answer "relayed" "$BODY" 0
	expect_forwarded "GET byte for byte" GET /xrec/epg.cgi "$query"
done

for value in $'region\x01' $'region\xff' 'region%00' 'region ' $'region\n'; do
	case_in $G "tunerbay subfunc $(printf '%q' "$value")"
	backend_start
	hostile_run tunerbay GET "subfunc=$value&todo=list"
	expect_answer "unknown command" "$ERR_UNKNOWN" 0
	expect_no_request "nothing forwarded"
done

case_in $G "epg subfunc with a control byte"
backend_start
hostile_run epg GET $'subfunc=info\x01&todo=list&'"$S"
expect_answer "unknown command" "$ERR_UNKNOWN" 0
expect_no_request "nothing forwarded"

# ============================================================================
# Session ids (epg). Never confirmed unless the login service knows exactly that
# id; never a command; one sid and one service field at the login service.

G=session-id
SID_5000=$(printf 'K%.0s' {1..5000})

# sid_case LABEL PATH QUERY_SID EXPECTED [LOGIN_LINE_SID]: EXPECTED "confirmed"
# or "refused"; LOGIN_LINE_SID is the id as the login service logged it ("-":
# no login request at all).
sid_case() {
	local label=$1 path=$2 sid=$3 expected=$4 logged=${5--}
	case_in $G "$label over $path"
	backend_start
	[[ $path == https ]] && https_only
	[[ -n ${SID_TABLE-} ]] && login_sessions "$SID_TABLE"
	json_answer "$BODY"
	hostile_run epg GET "subfunc=info&todo=list&sid=$sid"
	if [[ $expected == confirmed ]]; then
		expect_answer "confirmed" "$BODY" 0
	else
		expect_answer "not confirmed" "$ERR_AUTH" 0
		expect_no_request "nothing forwarded"
		[[ $logged == - ]] || expect_log_line "the failure line, nothing of the id in it" 'epg: info/list: login service refused the session'
	fi
	if [[ $logged == - ]]; then
		expect_no_login_request
	else
		expect_lines "one login request with one sid and service 100" "$LOGIN_REQUESTS" \
			"1 $path POST sid=[$logged] service=[100]"
	fi
}

for path in http https; do
	sid_case "5,000-byte id" $path "$SID_5000" refused
	SID_TABLE=$(printf '%s\tadmin' "$SID_5000") sid_case "5,000-byte id that is in the session table" $path "$SID_5000" refused
	sid_case "known id with an encoded service field" $path "$GOOD_SID%26service%3D100" refused \
		"$GOOD_SID&service=100"
	sid_case "known id with an encoded service field and a line feed" $path "$GOOD_SID%0Aservice%3D100" refused \
		"$GOOD_SID\\nservice=100"
	sid_case "known id with a raw line feed" $path "$GOOD_SID"$'\n' refused "$GOOD_SID\\n"
	sid_case "known id with a raw CR LF" $path "$GOOD_SID"$'\r\n' refused "$GOOD_SID\\x0d\\n"
	sid_case "known id in other letter case" $path "${GOOD_SID^^}" refused "${GOOD_SID^^}"
	sid_case "a lone percent sign" $path '%' refused '%'
	sid_case "known id with an encoded NUL" $path "$GOOD_SID%00" refused "$GOOD_SID\\x00"
	sid_case "an escape cut short" $path '%4' refused '%4'
done

# "&service=" in the query only splits it: the id is the known one, and the
# login service sees the program's own single service field.
case_in $G "known id followed by &service=1 in the query"
backend_start
json_answer "$BODY"
hostile_run epg GET "subfunc=info&todo=list&sid=$GOOD_SID&service=1&sid="
expect_answer "confirmed" "$BODY" 0
expect_lines "one login request with one sid and service 100" "$LOGIN_REQUESTS" \
	"1 http POST sid=[$GOOD_SID] service=[100]"
expect_forwarded "GET with the raw query" GET /xrec/epg.cgi "subfunc=info&todo=list&sid=$GOOD_SID&service=1&sid="

# Ids full of characters that mean something to a shell or a form are still
# ids: known ones are confirmed, as the browser sent them or percent-encoded.
# shellcheck disable=SC2016 # kept from any expansion on purpose
KNOWN_ODD_SIDS=(
	'a;b'
	'$(touch /tmp/x)'
	'`touch /tmp/x`'
	"q\"u'o"
	'x|y>z<w'
	'%zz'
	$'ctl\x01\x7f'
	$'caf\xc3\xa9\xff'
)
for path in http https; do
	for sid in "${KNOWN_ODD_SIDS[@]}"; do
		logged=$(printf '%s' "$sid" | python3 -c '
import sys
out = []
for b in sys.stdin.buffer.read():
    out.append("\\x%02x" % b if b < 0x20 or b >= 0x7F else chr(b))
print("".join(out), end="")')
		SID_TABLE=$(printf '%s\tadmin' "$sid") sid_case "known id $(printf '%q' "$sid")" $path "$sid" confirmed "$logged"
	done
	SID_TABLE=$(printf 'a;b\tadmin') sid_case "known id a;b as the browser encodes it" $path 'a%3Bb' confirmed 'a;b'
	SID_TABLE=$(printf 'a b\tadmin') sid_case "known id 'a b' with a plus sign" $path 'a+b' confirmed 'a b'
	SID_TABLE=$(printf 'a;b\tadmin') sid_case "near miss a;b;" $path 'a;b;' refused 'a;b;'
	# The form buffer takes 238 bytes of encoded id: 79 semicolons (3 bytes
	# each) fit, 80 do not and are refused unsent.
	semis=$(printf ';%.0s' {1..79})
	SID_TABLE=$(printf '%s\tadmin' "$semis") sid_case "known id of 79 semicolons" $path "$semis" confirmed "$semis"
	SID_TABLE=$(printf '%s;\tadmin' "$semis") sid_case "known id of 80 semicolons" $path "$semis;" refused
done

# ============================================================================
# Backend answers that break the rules (the backend runs and accepts)

G=backend-answer

# backend_case LABEL PROGRAM ANSWER_SCRIPT EXPECTED STATUS: EXPECTED taken
# literally; ANSWER_KIND=any for a body that is no JSON document.
backend_case() {
	local label=$1 program=$2 script=$3 expected=$4 status=$5
	case_in $G "$label, $program"
	backend_start
	set_answer "$script"
	if [[ $program == tunerbay ]]; then
		hostile_run tunerbay GET 'subfunc=network&todo=list&index=0'
	else
		hostile_run epg GET "subfunc=info&todo=list&$S"
	fi
	expect_answer "answer" "$expected" "$status"
}

H200='HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n'
# A header block of exactly 1024 bytes (80 of them without the padding), and one of 1025.
pad1024=$(printf 'p%.0s' {1..944})
backend_case "header block of exactly 1024 bytes" tunerbay \
	"text ${H200}X-Pad: ${pad1024}\r\nContent-Length: 11\r\n\r\n{\"ok\":true}" '{"ok":true}' 0
backend_case "header block of 1025 bytes" tunerbay \
	"text ${H200}X-Pad: ${pad1024}p\r\nContent-Length: 11\r\n\r\n{\"ok\":true}" "$ERR_EXPECTATION" 255
backend_case "header block of 1025 bytes in 100-byte pieces" epg \
	"$(printf 'piece 100\ntext %s' "${H200}X-Pad: ${pad1024}p\r\nContent-Length: 11\r\n\r\n{\"ok\":true}")" "$ERR_EXPECTATION" 255
backend_case "header block of 8 KiB" epg \
	"text ${H200}X-Pad: $(printf 'p%.0s' {1..8192})\r\nContent-Length: 2\r\n\r\n{}" "$ERR_EXPECTATION" 255
for program in tunerbay epg; do
	# A Content-Length that leaves the body's end unknown: the answer cannot be
	# read, whatever bytes came.
	backend_case "Content-Length -5" $program "text ${H200}Content-Length: -5\r\n\r\n{\"a\":1}" "$ERR_EXPECTATION" 255
	backend_case "Content-Length -5, body after a pause" $program \
		"$(printf '%s\n' "text ${H200}Content-Length: -5\r\n\r\n" 'pause 300' 'text {"late":1}')" "$ERR_EXPECTATION" 255
	backend_case "Content-Length 99999999999, closed early" $program \
		"text ${H200}Content-Length: 99999999999\r\n\r\n{\"huge\":" "$ERR_EXPECTATION" 255
	backend_case "Content-Length 2147483648, closed early" $program \
		"text ${H200}Content-Length: 2147483648\r\n\r\n{\"huge\":" "$ERR_EXPECTATION" 255
	backend_case "Content-Length not a number" $program "text ${H200}Content-Length: many\r\n\r\n{\"a\":2}" "$ERR_EXPECTATION" 255
	backend_case "Content-Length 100, then 7" $program \
		"$(printf '%s\n' "text ${H200}Content-Length: 100\r\nContent-Length: 7\r\n\r\n{\"d\":1}" 'pause 2000')" "$ERR_EXPECTATION" 255
	backend_case "Content-Length 7, then 100" $program \
		"text ${H200}Content-Length: 7\r\nContent-Length: 100\r\n\r\n{\"d\":1}" "$ERR_EXPECTATION" 255
	backend_case "Content-Length 30000, 20000 bytes sent in pieces, then closed" $program \
		"$(printf '%s\n' "text ${H200}Content-Length: 30000\r\n\r\n" 'piece 1500' "text $(printf 'x%.0s' {1..20000})" close)" \
		"$ERR_EXPECTATION" 255
	backend_case "HTTP/0.9: the body alone" $program 'text {"v":"0.9"}' "$ERR_EXPECTATION" 255
	backend_case "status line HTTP/0.9" $program 'text HTTP/0.9 200 OK\r\nContent-Length: 2\r\n\r\n{}' "$ERR_EXPECTATION" 255
	backend_case "status line HTTP/2" $program 'text HTTP/2 200\r\ncontent-length: 2\r\n\r\n{}' "$ERR_EXPECTATION" 255
	backend_case "status line HTTP/2.0" $program 'text HTTP/2.0 200 OK\r\nContent-Length: 2\r\n\r\n{}' "$ERR_EXPECTATION" 255
	backend_case "status line in lower case" $program 'text http/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}' "$ERR_EXPECTATION" 255
	backend_case "status 100 before the 200" $program \
		'text HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}' "$ERR_EXPECTATION" 255
	# Chunked coding is decoded (Content-Length beside it does not count); a
	# malformed coding is an answer that ended early.
	backend_case "chunked coding" $program \
		"$(printf '%s\n' "text ${H200}Transfer-Encoding: chunked\r\n\r\n4\r\n{\"c\"" 'pause 50' 'text \r\n3\r\n:1}\r\n0\r\n\r\n')" \
		'{"c":1}' 0
	backend_case "chunked coding with a Content-Length" $program \
		"text ${H200}Transfer-Encoding: chunked\r\nContent-Length: 7\r\n\r\n{\"c\":2}" "$ERR_EXPECTATION" 255
	backend_case "lines ended by LF alone" $program 'text HTTP/1.1 200 OK\nContent-Length: 2\n\n{}' "$ERR_EXPECTATION" 255
	backend_case "NUL byte in the header block" $program \
		'text HTTP/1.1 200 OK\r\nX-Nul: a\x00b\r\nContent-Length: 2\r\n\r\n{}' "$ERR_EXPECTATION" 255
	# The body is text: it ends at its first NUL byte, and Content-Length
	# counts what is answered.
	backend_case "NUL byte in the body" $program "text ${H200}Content-Length: 9\r\n\r\n{\"n\":1}\\x00zz" '{"n":1}' 0
	backend_case "reset right after the request" $program reset "$ERR_EXPECTATION" 255
	backend_case "reset after the header block" $program \
		"$(printf '%s\n' "text ${H200}Content-Length: 100\r\n\r\n{\"r\":" 'pause 50' reset)" "$ERR_EXPECTATION" 255
done

# A reset while a long request is still arriving: the send fails without a
# SIGPIPE, and the answer is the usual failure.
for program in tunerbay epg; do
	case_in $G "reset after a 64 KiB request, $program"
	backend_start
	set_answer reset
	if [[ $program == tunerbay ]]; then
		hostile_run tunerbay GET "$(q64 'subfunc=network&todo=add&index=0&entries=')"
	else
		hostile_run epg GET "$(q64 "subfunc=record&todo=add&$S&entries=")"
	fi
	expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255
done

# ============================================================================
# The login service answers wrongly (the session is a known one)

G=login-answer

# login_case LABEL PATH MODE EXPECTED [NAME]
login_case() {
	local label=$1 path=$2 mode=$3 expected=$4 name=${5-}
	case_in $G "$label over $path"
	backend_start
	[[ $path == https ]] && https_only
	[[ -n $mode ]] && login_misbehave "$mode"
	[[ -n $name ]] && login_sessions "$(printf '%s\t%s' "$GOOD_SID" "$name")"
	json_answer "$BODY"
	hostile_run epg GET "subfunc=info&todo=list&$S"
	if [[ $expected == confirmed ]]; then
		expect_answer "confirmed" "$BODY" 0
	else
		expect_answer "not confirmed" "$ERR_AUTH" 0
		expect_no_request "nothing forwarded"
	fi
	expect_lines "one login request" "$LOGIN_REQUESTS" "1 $path POST sid=[$GOOD_SID] service=[100]"
}

for path in http https; do
	login_case 'no "]]>" after the name' $path no-cdata-end refused
	login_case "1 MiB answer, the name first" $path pad-after confirmed
	login_case "empty answer" $path empty refused
	login_case "300-byte user name" $path '' refused "$(printf 'u%.0s' {1..300})"
	login_case "127-byte user name" $path '' confirmed "$(printf 'u%.0s' {1..127})"
	login_case "128-byte user name" $path '' refused "$(printf 'u%.0s' {1..128})"
	login_case "empty user name" $path empty-name refused
	login_case "empty username element, then authPassed 0" $path name-after-refusal refused
	login_case "authPassed 0 beside the name" $path refused-with-name refused
done
# The whole answer is read over HTTP; of the transfer tool's output only the
# first 1024 bytes are searched.
login_case "1 MiB answer, the name last" http pad-before confirmed
login_case "1 MiB answer, the name last" https pad-before refused

group_counts
sandbox_finish
