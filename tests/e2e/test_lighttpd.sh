#!/bin/bash
# Behind a real web server: tunerbay and epg installed by `cmake --install` into
# the sandboxed NAS's system and run by lighttpd (mod_cgi) from its cgi-bin,
# beside the login service, over HTTP and HTTPS. Requests go through curl as a
# browser sends them; checked is what the browser gets: the status line, the
# programs' header lines as the web server passes them on, and the body byte
# for byte, the transport stream included. Also the install layout, and the
# backend stand-in's answers by request (--routes) that the demo uses.
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_lighttpd.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"

HTTP_URL=http://127.0.0.1:$LOGIN_HTTP_PORT
HTTPS_URL=https://127.0.0.1:$LOGIN_HTTPS_PORT
BODY='{"entries":[{"index":0,"name":"Tuner 0","fr":474000000}],"total_count":1,"result":"success"}'

# --- Install ----------------------------------------------------------------

case_begin "cmake --install with DESTDIR and prefix /usr"
web_install
(cd "$WEB_ROOT" && find . -type f -not -path './usr/share/*' -not -path '*/systemd/*' | sort) >"$NAS_OUT/installed"
expect_lines "installed files" "$NAS_OUT/installed" \
	./etc/apache2/conf-available/dvr-cgi.conf ./etc/init.d/dongle_watchdog \
	./etc/lighttpd/conf-available/20-dvr-cgi.conf ./usr/lib/cgi-bin/authLogin.cgi ./usr/lib/cgi-bin/epg \
	./usr/lib/cgi-bin/tunerbay ./usr/sbin/dongle_watchdog
# same_executable INSTALLED BUILT: an executable copy of BUILT.
# shellcheck disable=SC2317 # called through check
same_executable() {
	cmp -s "$1" "$2" && [[ -x $1 ]]
}
check "tunerbay is the built program" same_executable "$WEB_CGI_BIN/tunerbay" "$DVR_BUILD_DIR/tunerbay"
check "epg is the built program" same_executable "$WEB_CGI_BIN/epg" "$DVR_BUILD_DIR/epg"
check "the watchdog is the built program" same_executable "$WEB_ROOT/usr/sbin/dongle_watchdog" \
	"$DVR_BUILD_DIR/dongle_watchdog"
check "the init script is the sample one" same_executable "$WEB_ROOT/etc/init.d/dongle_watchdog" \
	"$DVR_SOURCE_DIR/watchdog/dongle_watchdog.init"

case_begin "cmake --install with DESTDIR and prefix /usr/local"
other_root=$NAS_DIR/root-local
DESTDIR=$other_root cmake --install "$DVR_BUILD_DIR" --prefix /usr/local >"$NAS_LOG/install-local.out" 2>&1
check "installs" test $? -eq 0
(cd "$other_root" && find . -type f -not -path './usr/local/share/*' | sort) >"$NAS_OUT/installed"
expect_lines "everything under the prefix" "$NAS_OUT/installed" \
	./usr/local/etc/apache2/conf-available/dvr-cgi.conf ./usr/local/etc/init.d/dongle_watchdog \
	./usr/local/etc/lighttpd/conf-available/20-dvr-cgi.conf ./usr/local/lib/cgi-bin/epg ./usr/local/lib/cgi-bin/tunerbay \
	./usr/local/lib/systemd/system/dongle_watchdog.service ./usr/local/sbin/dongle_watchdog
check "its unit starts the watchdog there" grep -qx 'ExecStart=/usr/local/sbin/dongle_watchdog' \
	"$other_root"/usr/local/lib/systemd/system/dongle_watchdog.service
rm -rf "$other_root"

login_start

# --- Requests through the web server ------------------------------------------

web_server_rows "$HTTP_URL"

# A stream pauses on every lost signal and every retune: the web server serves
# other requests meanwhile (the relay never waits while it holds the answer pipe).
case_begin "a request while a stream pauses for 10 s"
backend_start
set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' 'stream 18800' 'pause 10000' \
	'stream 18800' close)" 1
json_answer "$BODY" 2
curl -s --max-time 30 -o "$NAS_OUT/paused.ts" "$HTTP_URL/cgi-bin/tunerbay?subfunc=scan&todo=get&stream=1" &
stream=$!
_wait_for 250 test -s "$NAS_OUT/paused.ts"
sleep 0.5
started=$(date +%s%N)
web GET "$HTTP_URL/cgi-bin/tunerbay?subfunc=region&todo=list"
took=$((($(date +%s%N) - started) / 1000000))
expect_web_json "the other request" "$BODY"
check "answered during the pause, in under 1 s (${took} ms)" test "$took" -lt 1000
wait "$stream"
check "the stream came whole across its pause" test "$(stat -c %s "$NAS_OUT/paused.ts")" -eq 37600

# A live view never ends by itself. With the package's snippet lighttpd passes
# it on as it comes and ends the CGI with its viewer. On disk it keeps only its
# overflow buffer of some 64 KiB a stream, not the stream (which the default
# setting spools there until the disk is full).
case_begin "an endless stream to two viewers at once"
backend_start
set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' 'stream 1000000000000')"
pids=()
for i in 1 2; do
	curl -s --max-time 3 -w '%{time_starttransfer}' -o "$NAS_OUT/live.$i.ts" \
		"$HTTP_URL/cgi-bin/epg?subfunc=info&todo=list_more&stream=1&channel=$i&sid=$GOOD_SID" >"$NAS_OUT/live.$i.first" &
	pids+=($!)
done
most=0
for _ in {1..20}; do
	sleep 0.1
	size=$(du -sb "$WEB_UPLOADS" | cut -f 1)
	((size > most)) && most=$size
done
check "lighttpd's upload folder stays below 1 MiB (at most $most bytes)" test "$most" -lt 1048576
wait "${pids[@]}"
left=$(date +%s%N)
no_cgi_left() { [[ -z $(programs_running tunerbay epg) ]]; }
_wait_for 250 no_cgi_left
gone=$((($(date +%s%N) - left) / 1000000))
for i in 1 2; do
	first=$(cat "$NAS_OUT/live.$i.first")
	check "viewer $i: the first bytes within 1 s (${first} s), then more" \
		awk -v t="$first" -v n="$(stat -c %s "$NAS_OUT/live.$i.ts")" 'BEGIN { exit !(t > 0 && t < 1 && n > 1000000) }'
done
check "both CGIs gone within 2 s of their viewers (${gone} ms)" test "$gone" -lt 2000

case_begin "tunerbay over HTTPS"
backend_start
json_answer "$BODY"
web GET "$HTTPS_URL/cgi-bin/tunerbay?subfunc=feoption&todo=list"
expect_web_json "backend body" "$BODY"

case_begin "tunerbay's own answer, no backend"
web GET "$HTTP_URL/cgi-bin/tunerbay?subfunc=info&todo=list"
expect_web_json "not ready" "$NOT_READY_ANSWER"

case_begin "tunerbay unknown command"
web GET "$HTTP_URL/cgi-bin/tunerbay"
expect_web_json "unknown command" "$ERR_UNKNOWN"

case_begin "epg with a valid session, HTTPS only"
backend_start
nas_config "System/Web Access Port=$LOGIN_HTTP_PORT" "System/Force SSL=1" "Stunnel/port=$LOGIN_HTTPS_PORT"
json_answer "$BODY"
query="subfunc=record&todo=add&sid=$GOOD_SID&channel=3&title=Evening+News"
web POST "$HTTPS_URL/cgi-bin/epg?$query" 'a=1'
expect_web_json "backend body" "$BODY"
expect_forwarded "POST with the query as the form body" POST /xrec/epg.cgi "$query"
expect_lines "the session checked over HTTPS" "$LOGIN_REQUESTS" "1 https POST sid=[$GOOD_SID] service=[100]"

case_begin "epg with an unknown session"
backend_start
web GET "$HTTP_URL/cgi-bin/epg?subfunc=info&todo=list&sid=NoSuchSession"
expect_web_json "errcode -5 answer" "$ERR_AUTH"
expect_no_request "nothing forwarded"

# --- Several browsers at once ---------------------------------------------------

case_begin "ten requests at once"
backend_start
for i in $(seq 1 10); do
	printf '{"n":%d}' "$i" >"$BACKEND_DIR/body.$i.json"
	echo "json body.$i.json" >"$BACKEND_DIR/answer.$i"
done
pids=()
for i in $(seq 1 10); do
	curl -s --max-time 30 -o "$NAS_OUT/many.$i" "$HTTP_URL/cgi-bin/tunerbay?subfunc=region&todo=get&n=$i" &
	pids+=($!)
done
wait "${pids[@]}"
# The backend answers its connections in turn, whatever order they came in:
# every answer arrives whole, each exactly once.
check "ten whole answers, each once" test "$(cat "$NAS_OUT"/many.* | tr '}' '\n' | sort -u | grep -c '^{"n":')" -eq 10

# --- A backend that falls silent ----------------------------------------------

# A backend hung on a failing tuner accepts and never answers. Every CGI ends
# by itself after the silence limit with its whole failure answer, so a web
# interface that polls cannot pile them up.
case_begin "twenty requests to a silent backend"
backend_start
set_answer 'pause 300000'
pids=()
started=$(date +%s)
for i in $(seq 1 20); do
	url="$HTTP_URL/cgi-bin/tunerbay?subfunc=info&todo=list&n=$i"
	((i % 2)) || url="$HTTP_URL/cgi-bin/epg?subfunc=info&todo=list&sid=$GOOD_SID&n=$i"
	curl -s --max-time 50 -o "$NAS_OUT/silent.$i" "$url" &
	pids+=($!)
done
sleep 5
echo "# CGIs waiting after 5 s: $(programs_running tunerbay epg | wc -w)"
wait "${pids[@]}"
took=$(($(date +%s) - started))
whole=0
for i in $(seq 1 20); do [[ $(cat "$NAS_OUT/silent.$i") == "$ERR_EXPECTATION" ]] && whole=$((whole + 1)); done
check "twenty whole failure answers within 45 s ($whole in ${took} s)" test "$whole" -eq 20 -a "$took" -lt 45
# A process may still be ending (a sanitizer build checks for leaks after the answer).
deadline=$(($(date +%s) + 15))
while ! no_cgi_left && (($(date +%s) < deadline)); do sleep 0.2; done
check "no CGI left" no_cgi_left

# --- The backend stand-in's answers by request ------------------------------------

routes=$NAS_DIR/routes
mkdir -p "$routes"
printf '{"route":"list"}' >"$routes/list.json"
printf '{"route":"channel 3"}' >"$routes/ch3.json"
printf '{"route":"add"}' >"$routes/add.json"
echo 'json list.json' >"$routes/epg.info.list_more"
echo 'json ch3.json' >"$routes/epg.info.list_more.channel=3"
echo 'json add.json' >"$routes/tunerbay.network.add"
printf '%s\n' 'text HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n' >"$routes/default"
printf '{"route":"outside"}' >"$NAS_DIR/outside.json"
echo 'json outside.json' >"$NAS_DIR/epg.info.list"

case_begin "backend answers by request"
backend_start --routes "$routes"
S="sid=$GOOD_SID"
web GET "$HTTP_URL/cgi-bin/epg?subfunc=info&todo=list_more&$S"
expect_web_json "by subfunc and todo" '{"route":"list"}'
web GET "$HTTP_URL/cgi-bin/epg?subfunc=info&todo=list_more&$S&up=0&channel=3"
expect_web_json "by a parameter" '{"route":"channel 3"}'
web GET "$HTTP_URL/cgi-bin/epg?subfunc=info&todo=list_more&$S&channel=4"
expect_web_json "no route for the parameter's value" '{"route":"list"}'
web POST "$HTTP_URL/cgi-bin/tunerbay?subfunc=network&todo=add&fr=474000000" 'fr=474000000'
expect_web_json "a POST by its form body" '{"route":"add"}'
web GET "$HTTP_URL/cgi-bin/epg?subfunc=smart&todo=add&$S"
expect_web_json "no route: default" "$ERR_EXPECTATION"
web GET "$HTTP_URL/cgi-bin/epg?subfunc=info&todo=list&$S&channel=../epg.info.list"
expect_web_json "a parameter that is no plain word is not looked up" "$ERR_EXPECTATION"
grep -o 'connection [0-9]*: .*' "$NAS_LOG/backend.out" >"$NAS_OUT/choices"
expect_lines "choices logged" "$NAS_OUT/choices" \
	"connection 1: $routes/epg.info.list_more" "connection 2: $routes/epg.info.list_more.channel=3" \
	"connection 3: $routes/epg.info.list_more" "connection 4: $routes/tunerbay.network.add" \
	"connection 5: $routes/default" "connection 6: $routes/default"

sandbox_finish
