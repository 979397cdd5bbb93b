#!/bin/bash
# tunerbay end to end: the shipped program, unchanged, in a sandboxed NAS with
# the backend stand-in running or not. Every row of the decision table, the
# bytes the backend receives, the answers byte for byte with exit statuses,
# the DVR service switch with its wait, and a relayed transport stream.
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_tunerbay.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"

OK_ANSWER='{"result":"success","errcode":0,"errmsg":"OK","total_count":0,"enable_dvr":0}'
SUCCESS_ANSWER='{"result":"success","errcode":0,"errmsg":"SUCCESS","enable_dvr":0}'
SERVER_MISSING_ANSWER='{"result":"failure","errcode":-2,"errmsg":"ERROR SERVER NOT EXIST","total_count":0,"enable_dvr":0}'
FAILURE_ANSWER='{"result":"failure","errcode":-1,"errmsg":"ERROR","enable_dvr":0}'

PATH_TB=/xrec/tunerbay.cgi

# forward_row LABEL METHOD STOPPED_ANSWER QUERY
# A row that forwards the raw query while the backend runs and answers by
# itself (with status 0) while it does not.
forward_row() {
	local label=$1 method=$2 stopped=$3 query=$4
	local body="{\"row\":\"$label\",\"entries\":[{\"id\":1}],\"total_count\":1}"

	case_begin "$label, backend runs"
	backend_start
	json_answer "$body"
	run_cgi tunerbay GET "$query"
	expect_answer "backend body relayed" "$body" 0
	if [[ $method == GET ]]; then
		expect_forwarded "GET with the raw query" GET "$PATH_TB" "$query"
	else
		expect_forwarded "POST with the raw query as form body" POST "$PATH_TB" "$query"
	fi
	check "one connection" test ! -e "$(backend_request 2)"

	case_begin "$label, no backend"
	run_cgi tunerbay GET "$query"
	expect_answer "own answer" "$stopped" 0
	expect_lines "no DVR service command" "$NAS_LOG/dvr.log"
}

# refuse_row LABEL QUERY: the unknown-command error whether or not the backend
# runs, without contacting it.
refuse_row() {
	local label=$1 query=$2
	case_begin "$label, backend runs"
	backend_start
	run_cgi tunerbay GET "$query"
	expect_answer "unknown command" "$ERR_UNKNOWN" 0
	expect_backend_untouched "backend not contacted"

	case_begin "$label, no backend"
	run_cgi tunerbay GET "$query"
	expect_answer "unknown command" "$ERR_UNKNOWN" 0
}

# --- Forwarding rows (unknown keys and encoded text travel unchanged) -------

forward_row "option get" GET "$SERVER_MISSING_ANSWER" 'subfunc=option&todo=get&index=1&sid=abc123&foo=bar'
forward_row "info list" GET "$NOT_READY_ANSWER" 'subfunc=info&todo=list&up=0&down=20&x=%41%20b+c'
forward_row "region list" GET "$OK_ANSWER" 'subfunc=region&todo=list'
forward_row "region update" GET "$FAILURE_ANSWER" 'subfunc=region&todo=update&index=0&id=de-Berlin&entries=[1,2]'
forward_row "region get" GET "$FAILURE_ANSWER" 'subfunc=region&todo=get&index=3&unknown_key=1'
forward_row "network list" GET "$OK_ANSWER" 'subfunc=network&todo=list&index=0'
forward_row "network add" POST "$FAILURE_ANSWER" 'subfunc=network&todo=add&index=0&fr=474000000&bw=8&cs=QAM64&tm=8k&gi=1/4&hi=NONE&fh=AUTO&fl=AUTO&extra=1'
forward_row "network delete" POST "$FAILURE_ANSWER" 'subfunc=network&todo=delete&index=0&id=5'
forward_row "feoption list" GET "$OK_ANSWER" 'subfunc=feoption&todo=list&index=1'

# --- Rows that refuse -------------------------------------------------------

refuse_row "option other todo" 'subfunc=option&todo=set&enable_dvr=1'
refuse_row "info other todo" 'subfunc=info&todo=get'
refuse_row "info without todo" 'subfunc=info'
refuse_row "region other todo" 'subfunc=region&todo=delete'
refuse_row "network other todo" 'subfunc=network&todo=update'
refuse_row "feoption other todo" 'subfunc=feoption&todo=get'
refuse_row "unknown subfunc" 'subfunc=tuner&todo=list'
refuse_row "subfunc case differs" 'subfunc=Option&todo=update&enable_dvr=0'
refuse_row "empty subfunc value" 'subfunc=&todo=list'
refuse_row "no parameters" ''
refuse_row "empty tokens only" '&&&'

case_begin "no QUERY_STRING at all"
RUN_NO_QUERY=1 run_cgi tunerbay GET ''
expect_answer "unknown command" "$ERR_UNKNOWN" 0

# --- Scan rows --------------------------------------------------------------

case_begin "scan get, backend runs"
backend_start
json_answer '{"scan":{"progress":40}}'
run_cgi tunerbay GET 'subfunc=scan&todo=get&index=0'
expect_answer "backend body relayed" '{"scan":{"progress":40}}' 0
expect_forwarded "GET with the raw query" GET "$PATH_TB" 'subfunc=scan&todo=get&index=0'

# The backend is tried without a look at the process table; with no backend
# the second look finds none and the empty body is answered as a success.
case_begin "scan get, no backend"
run_cgi tunerbay GET 'subfunc=scan&todo=get'
expect_answer "empty success" '' 0

case_begin "scan other todo, backend runs"
backend_start
run_cgi tunerbay GET 'subfunc=scan&todo=start&index=0'
expect_answer "OK answer" "$OK_ANSWER" 0
expect_backend_untouched "backend not contacted"

case_begin "scan other todo, no backend"
run_cgi tunerbay GET 'subfunc=scan&todo=start'
expect_answer "OK answer" "$OK_ANSWER" 0

# --- The option update and the DVR service switch --------------------

OPTION_BODY='{"result":"success","errcode":0,"errmsg":"OK","enable_dvr":1}'

case_begin "option update, DVR wished, backend runs, idle scan on"
backend_start
json_answer "$OPTION_BODY"
run_cgi tunerbay GET 'subfunc=option&todo=update&index=2&enable_dvr=1&idlescan=1&sid=s1&foo=bar'
expect_answer "backend body relayed" "$OPTION_BODY" 0
expect_forwarded "GET of the built query only" GET "$PATH_TB" 'subfunc=option&todo=update&index=2&entry={"idlescan":1}'
expect_lines "no DVR service command" "$NAS_LOG/dvr.log"

case_begin "option update, DVR wished, backend runs, no index, idle scan off"
backend_start
json_answer "$OPTION_BODY"
run_cgi tunerbay GET 'subfunc=option&todo=update&enable_dvr=1&idlescan=0'
expect_answer "backend body relayed" "$OPTION_BODY" 0
expect_forwarded "GET of the built query only" GET "$PATH_TB" 'subfunc=option&todo=update&index=&entry={"idlescan":0}'

case_begin "option update, DVR not wished, backend runs"
backend_start
RUN_ENV=("${FIRMWARE_ENV[@]}" "${MORE_REQUEST_ENV[@]}")
run_cgi tunerbay GET 'subfunc=option&todo=update&index=1&enable_dvr=0'
RUN_ENV=()
expect_answer "OK answer, no script output in it" "$OK_ANSWER" 0
expect_lines "DVR service stopped" "$NAS_LOG/dvr.log" stop
expect_lines "the script's output went nowhere, not to the web server's log" "$RUN_ERR"
expect_clean_child_context "service script" "$NAS_LOG/dvr" "$DVR_SCRIPT" /dev/null /dev/null
expect_backend_untouched "backend not contacted"

case_begin "option update, DVR not wished, no backend"
run_cgi tunerbay GET 'subfunc=option&todo=update&index=1&enable_dvr=0'
expect_answer "SUCCESS answer" "$SUCCESS_ANSWER" 0
expect_lines "no DVR service command" "$NAS_LOG/dvr.log"

case_begin "option update, DVR wish other than 1, no backend"
run_cgi tunerbay GET 'subfunc=option&todo=update&index=1&enable_dvr=true'
expect_answer "SUCCESS answer" "$SUCCESS_ANSWER" 0
expect_lines "no DVR service command" "$NAS_LOG/dvr.log"

# The service script starts the backend as a daemon that keeps whatever it
# inherited. The web server reads the answer through a pipe: the pipe must
# close when tunerbay ends, not when the daemon does.
case_begin "option update, DVR wished, no backend: service started"
json_answer "$OPTION_BODY"
RUN_ENV=("${FIRMWARE_ENV[@]}" "${MORE_REQUEST_ENV[@]}")
run_cgi tunerbay GET 'subfunc=option&todo=update&index=1&enable_dvr=1&sid=s1'
RUN_ENV=()
expect_answer "backend body relayed, no script output in it" "$OPTION_BODY" 0
expect_lines "DVR service started" "$NAS_LOG/dvr.log" start
expect_forwarded "GET of the built query after the start" GET "$PATH_TB" 'subfunc=option&todo=update&index=1&entry={"idlescan":0}'
check "waited the fixed 5 s (took ${RUN_MS} ms)" test "$RUN_MS" -ge 5000 -a "$RUN_MS" -lt 7000
check "the web server sees the end at once (${RUN_EOF_LAG_MS} ms after exit)" test "$RUN_EOF_LAG_MS" -lt 500
daemon=$(backend_pid)
check "the started backend runs on" test -n "$daemon"
expect_lines "the script's output went nowhere, not to the web server's log" "$RUN_ERR"
expect_clean_child_context "service script" "$NAS_LOG/dvr" "$DVR_SCRIPT" /dev/null /dev/null
if [[ -n $daemon ]]; then
	# The daemon holds only what the script had: nothing that reaches the web server.
	ls -l "/proc/$daemon/fd" >"$NAS_OUT/daemon.fd"
	check "the backend daemon holds no pipe of the web server" lacks "pipe:" "$NAS_OUT/daemon.fd"
fi

case_begin "option update, DVR wished, no backend, the service does not come up"
touch "$NAS_DIR/dvr.nostart"
run_cgi tunerbay GET 'subfunc=option&todo=update&index=1&enable_dvr=1'
expect_answer "empty success" '' 0
expect_lines "DVR service started" "$NAS_LOG/dvr.log" start
check "waited the fixed 5 s (took ${RUN_MS} ms)" test "$RUN_MS" -ge 5000 -a "$RUN_MS" -lt 7000

# --- The backend fails ------------------------------------------------------

case_begin "backend runs but refuses connections, region list"
backend_start --no-listen
run_cgi tunerbay GET 'subfunc=region&todo=list'
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255

case_begin "backend runs but refuses connections, network add"
backend_start --no-listen
run_cgi tunerbay GET 'subfunc=network&todo=add&index=0'
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255

case_begin "backend runs but refuses connections, DVR wished"
backend_start --no-listen
run_cgi tunerbay GET 'subfunc=option&todo=update&index=0&enable_dvr=1'
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255
expect_lines "no DVR service command" "$NAS_LOG/dvr.log"

case_begin "backend answers 404"
backend_start
set_answer 'text HTTP/1.1 404 Not Found\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: 15\r\n\r\n{"error":"404"}'
run_cgi tunerbay GET 'subfunc=info&todo=list'
expect_answer "errcode -1 answer, body not relayed" "$ERR_EXPECTATION" 255

case_begin "backend closes without an answer"
backend_start
set_answer close
run_cgi tunerbay GET 'subfunc=network&todo=list'
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255

case_begin "backend header block over 1024 bytes"
backend_start
set_answer "text HTTP/1.1 200 OK\r\nX-Padding: $(printf 'p%.0s' {1..1100})\r\nContent-Length: 2\r\n\r\n{}"
run_cgi tunerbay GET 'subfunc=network&todo=list'
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255

# --- Bodies and streams -----------------------------------------------------

case_begin "HTTP/1.0 answer without Content-Length"
backend_start
set_answer 'text HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{"v":1}'
run_cgi tunerbay GET 'subfunc=region&todo=list'
expect_answer "body that came with the header block" '{"v":1}' 0

case_begin "multi-byte UTF-8 body"
backend_start
json_answer '{"name":"Käse – 日本 📺"}'
run_cgi tunerbay GET 'subfunc=region&todo=get'
expect_answer "Content-Length counts bytes" '{"name":"Käse – 日本 📺"}' 0

case_begin "large body in small pieces"
backend_start
big="{\"entries\":[$(for i in $(seq 1 4000); do printf '{"id":%d,"name":"channel %d"},' "$i" "$i"; done)0]}"
printf '%s' "$big" >"$BACKEND_DIR/big.json"
set_answer "$(printf 'piece 1000\npause 5\njson %s' "$BACKEND_DIR/big.json")"
run_cgi tunerbay GET 'subfunc=info&todo=list'
expect_answer "relayed byte for byte (${#big} bytes)" "$big" 0

case_begin "answer in 7-byte pieces"
backend_start
set_answer "$(printf 'piece 7\njson %s' "$BACKEND_DIR/piece.json")"
printf '%s' '{"split":"header block over many receives"}' >"$BACKEND_DIR/piece.json"
run_cgi tunerbay GET 'subfunc=network&todo=list'
expect_answer "relayed" '{"split":"header block over many receives"}' 0

case_begin "slow backend"
backend_start
set_answer "$(printf 'wait 300\njson %s' "$BACKEND_DIR/slow.json")"
printf '%s' '{"slow":true}' >"$BACKEND_DIR/slow.json"
run_cgi tunerbay GET 'subfunc=feoption&todo=list'
expect_answer "relayed" '{"slow":true}' 0

# The body is read by its length, not until the backend closes.
case_begin "backend keeps the connection open after the body"
backend_start
set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: Keep-Alive\r\nContent-Length: 8\r\n\r\n{"ka":1}' \
	'pause 3000' close)"
run_cgi tunerbay GET 'subfunc=region&todo=list'
expect_answer "relayed" '{"ka":1}' 0
check "answered without waiting for the close (${RUN_MS} ms)" test "$RUN_MS" -lt 2000

case_begin "Content-Length smaller than the body"
backend_start
set_answer 'text HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nhello'
run_cgi tunerbay GET 'subfunc=region&todo=list'
expect_answer "all early bytes, not cut" 'hello' 0

case_begin "backend closes before the announced body is complete"
backend_start
set_answer 'text HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{"cut":'
run_cgi tunerbay GET 'subfunc=region&todo=list'
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255

case_begin "backend announces a 2 GB body and closes"
backend_start
set_answer 'text HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2000000000\r\n\r\n{"huge":'
run_cgi tunerbay GET 'subfunc=region&todo=list'
expect_answer "errcode -1 answer" "$ERR_EXPECTATION" 255
check "without reserving the announced size first (${RUN_MS} ms)" test "$RUN_MS" -lt 2000

# Queries longer than the usual request buffer travel whole.
long_entries=$(for i in $(seq 1 300); do printf '%%7B%%22id%%22%%3A%d%%7D,' "$i"; done)
case_begin "long GET query"
backend_start
json_answer '{"long":"get"}'
query="subfunc=region&todo=update&index=0&entries=[${long_entries}0]"
run_cgi tunerbay GET "$query"
expect_answer "relayed" '{"long":"get"}' 0
expect_forwarded "GET with the whole query (${#query} bytes)" GET "$PATH_TB" "$query"

case_begin "long POST body"
backend_start
json_answer '{"long":"post"}'
query="subfunc=network&todo=add&index=0&entries=[${long_entries}0]"
run_cgi tunerbay GET "$query"
expect_answer "relayed" '{"long":"post"}' 0
expect_forwarded "POST with the whole query as form body (${#query} bytes)" POST "$PATH_TB" "$query"

# A POST request: the parameters still come from QUERY_STRING, the body is
# read and not used.
case_begin "POST request to tunerbay"
backend_start
json_answer '{"from":"query"}'
run_cgi tunerbay POST 'subfunc=region&todo=list&index=4' 'subfunc=scan&todo=start'
expect_answer "forwarded by the query string" '{"from":"query"}' 0
expect_forwarded "GET with the raw query" GET "$PATH_TB" 'subfunc=region&todo=list&index=4'

# The transport stream: four header lines of the relay's own, then the stream
# exactly as the backend sent it, until it closes.
STREAM_BYTES=3000000
stream_expected=$NAS_OUT/stream.expected
make_expected_stream "$STREAM_BYTES" "$stream_expected"

case_begin "transport stream relay"
backend_start
set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nServer: backend\r\nContent-Type: video/mp2t\r\nConnection: Close\r\n\r\n' \
	'piece 65536' "stream $STREAM_BYTES" close)"
run_cgi tunerbay GET 'subfunc=scan&todo=get&stream=1'
_expect_same_file "95 header bytes, then the stream byte for byte" "$RUN_OUT" "$stream_expected"
expect_status "exit status 0" 0
expect_forwarded "GET with the raw query" GET "$PATH_TB" 'subfunc=scan&todo=get&stream=1'

case_begin "transport stream relay, slow pieces"
backend_start
set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t;x=1\r\n\r\n' \
	'piece 188' 'stream 1880' 'pause 20' 'piece 100000' "stream $((STREAM_BYTES - 1880))" close)"
run_cgi tunerbay GET 'subfunc=info&todo=list'
_expect_same_file "95 header bytes, then the stream byte for byte" "$RUN_OUT" "$stream_expected"
expect_status "exit status 0" 0

case_begin "transport stream with status 404"
backend_start
set_answer "$(printf '%s\n' 'text HTTP/1.1 404 Not Found\r\nContent-Type: video/mp2t\r\n\r\n' 'stream 18800' close)"
run_cgi tunerbay GET 'subfunc=info&todo=list'
expect_answer "errcode -1 answer, nothing relayed" "$ERR_EXPECTATION" 255

# Built with the session check (an option, off by default): rows that act on
# the service or forward need a confirmed session; the fixed answers do not.
login_start
case_begin "session check built in: forward with a confirmed session"
backend_start
json_answer '{"a":1}'
run_cgi tunerbay_session_check GET 'subfunc=info&todo=list&sid=Gd7f01Session'
expect_answer "relayed" '{"a":1}' 0
expect_lines "session checked" "$LOGIN_DIR/requests.log" "1 http POST sid=[Gd7f01Session] service=[100]"
for query in 'subfunc=info&todo=list&sid=Unknown' 'subfunc=network&todo=delete&id=1' \
	'subfunc=option&todo=update&enable_dvr=0&sid=Unknown'; do
	case_begin "session check built in: refused, $query"
	backend_start
	run_cgi tunerbay_session_check GET "$query"
	expect_answer "refused" "$ERR_AUTH" 0
	expect_backend_untouched "nothing forwarded"
	expect_lines "no DVR service command" "$NAS_LOG/dvr.log"
done
case_begin "session check built in: a fixed answer needs none"
run_cgi tunerbay_session_check GET 'subfunc=scan&todo=start'
expect_answer "OK answer" "$OK_ANSWER" 0
expect_lines "no login request" "$LOGIN_DIR/requests.log"

case_begin "no scratch files left"
check "no /tmp/dvrxmltmp*.xml" bash -c '! compgen -G "/tmp/dvrxmltmp*"'

sandbox_finish
