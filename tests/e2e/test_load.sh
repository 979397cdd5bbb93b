#!/bin/bash
# Load through the web server: thousands of requests, 32 at a time, through the
# NAS's lighttpd to tunerbay and epg as `cmake --install` put them, while the
# dongle watchdog watches two plugged-in tuners. The mix: tunerbay requests,
# one in four an epg request with a valid session over plain HTTP (so each one
# also runs the session check through the same lighttpd), GETs and POSTs, and
# one request in 50 a transport stream of 367 KiB. The backend stand-in
# answers by request (--routes).
#
# Checked: every answer is exactly the one for its request (status 200, its
# Content-Type, the Content-Length of its body, the body byte for byte; a
# stream byte for byte); every request reached the backend once, every epg
# request the login service once; nothing reached the web server's error log
# (the programs' standard error); no process of a request outlives the load;
# the programs leave nothing in /tmp; the watchdog runs all along, is still
# running at the end and ended nothing.
#
# The load runs under wrk with one connection per wrk thread, so that each
# thread's script knows the request every answer belongs to. Printed at the
# end: the requests per second of the mix next to the same load against a
# static file of similar size served by the same lighttpd (the web server's
# own ceiling); then a forwarded GET and a forwarded POST each alone, beside the floor (bench/floor, where the build has it) run by the same
# lighttpd as a CGI that makes the same exchanges and writes the same answer,
# and the static file, as ratios. The backend stand-in serves its connections
# side by side, as the backend does, so that the programs are what is measured.
# As on a NAS, idle processes are listed in /proc ahead of the backend.
#
# DVR_LOAD_REQUESTS sets the number of requests of each load (default 5000;
# a fifth of it for each forward alone; the dev test preset takes 1000, since
# each run of a sanitizer build spends some 70 ms on its own checks and 5000
# would not fit the time limit), DVR_LOAD_PROCS the idle processes
# (default 250). DVR_PROGRAM_DIR puts the programs of another build in place of
# the installed ones, to compare two builds on one machine.
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_load.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"

command -v wrk >/dev/null || _sandbox_die "missing tool: wrk (scripts/deps.sh installs it)"

HTTP_URL=http://127.0.0.1:$LOGIN_HTTP_PORT
LOAD_CONNECTIONS=32
LOAD_REQUESTS=${DVR_LOAD_REQUESTS:-5000}
if ! [[ $LOAD_REQUESTS =~ ^[0-9]+$ ]] || ((LOAD_REQUESTS < LOAD_CONNECTIONS)); then
	_sandbox_die "DVR_LOAD_REQUESTS must be a number of at least $LOAD_CONNECTIONS"
fi
PATH_REQUESTS=$((LOAD_REQUESTS / 5 < LOAD_CONNECTIONS ? LOAD_CONNECTIONS : LOAD_REQUESTS / 5))
LOAD_PROCS=${DVR_LOAD_PROCS:-250}
[[ $LOAD_PROCS =~ ^[0-9]+$ ]] || _sandbox_die "DVR_LOAD_PROCS must be a number"
STREAM_EVERY=50
EPG_EVERY=4
# 2,000 TS packets: 367 KiB.
STREAM_BYTES=$((188 * 2000))
# wrk's own end, should a load stall: the test stays below ctest's limit.
LOAD_TIME_LIMIT=150
LOAD_DIR=$NAS_OUT/load
ROUTES=$NAS_DIR/load-routes
EXPECT=$LOAD_DIR/expect

# ---------------------------------------------------------------------------
# The backend's answers and what the browser must get for each request

mkdir -p "$LOAD_DIR" "$ROUTES" "$EXPECT"

# answer_route ROUTE NAME BODY: the backend answers ROUTE with the JSON BODY,
# which is also the answer the browser must get (EXPECT/NAME).
answer_route() {
	printf '%s' "$3" >"$ROUTES/$2.json"
	cp "$ROUTES/$2.json" "$EXPECT/$2"
	echo "json $2.json" >"$ROUTES/$1"
}

# list_doc N MAKE: a list answer of N entries, entry I made by "MAKE I".
list_doc() {
	local i entries=''
	for ((i = 0; i < $1; i++)); do
		entries+=${entries:+,}$("$2" "$i")
	done
	printf '{"entries":[%s],"total_count":%d,"result":"success"}' "$entries" "$1"
}
# The entries (called through list_doc).
# shellcheck disable=SC2317
region() { printf '{"code":"R%d","name":"Region %d"}' "$1" "$1"; }
# shellcheck disable=SC2317
mux() { printf '{"uuid":"mux%d","fr":%d,"bw":8000000,"cs":"QAM64","tm":"8k","gi":"1/4"}' "$1" $((474000000 + $1 * 48000000)); }
# shellcheck disable=SC2317
fe_option() { printf '{"index":%d,"name":"Tuner %d","type":"DVB-T","enabled":true}' "$1" "$1"; }
# A programme of channel CH, with UTF-8 and JSON escapes in its texts.
# shellcheck disable=SC2317
programme() {
	printf '{"eventId":%d,"channel":%d,"start":%d,"stop":%d,"title":"Caf\xc3\xa9 Talk %d","description":"Guests \\"live\\" from the studio \\u2013 part %d of the series, with news, weather and music."}' \
		$((CH * 1000 + $1)) "$CH" $((1700000000 + $1 * 1800)) $((1700001800 + $1 * 1800)) "$1" "$1"
}

answer_route tunerbay.region.list regions "$(list_doc 12 region)"
answer_route tunerbay.network.list networks "$(list_doc 4 mux)"
answer_route tunerbay.feoption.list feoptions "$(list_doc 2 fe_option)"
answer_route tunerbay.network.add network-added '{"result":"success","errcode":0,"errmsg":"OK"}'
for CH in 1 2 3 4 5 6 7 8; do
	answer_route "epg.info.list.channel=$CH" "guide-$CH" "$(list_doc $((CH * 3)) programme)"
done
answer_route epg.record.add record-added '{"result":"success","errcode":0,"errmsg":"OK","eventId":3004}'
stream_script=$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' "stream $STREAM_BYTES" close)
echo "$stream_script" >"$ROUTES/tunerbay.scan.get.stream=1"
echo "$stream_script" >"$ROUTES/epg.info.list_more.stream=1"
printf '%s\n' 'text HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n' >"$ROUTES/default"
"$NAS_DIR/bin/tvheadend" --print-stream "$STREAM_BYTES" >"$EXPECT/stream"

# A plan has one request per line: METHOD, path and query, form body ("-" for
# none), the file in EXPECT with the answer's body, and the answer's
# Content-Type ("-": not checked). Request I of a load is line I of the plan,
# round and round.
#
# The mix: per 100 requests two streams (one of each program), 24 epg and the
# rest tunerbay JSON requests.
S="sid=$GOOD_SID"
JSON_TYPE='application/json; charset=UTF-8'
TUNERBAY_MIX=(
	"GET /cgi-bin/tunerbay?subfunc=region&todo=list - regions"
	"GET /cgi-bin/tunerbay?subfunc=network&todo=list&sid=x&up=0 - networks"
	"GET /cgi-bin/tunerbay?subfunc=feoption&todo=list - feoptions"
	"POST /cgi-bin/tunerbay?subfunc=network&todo=add&fr=474000000&bw=8000000 fr=474000000 network-added"
)
EPG_MIX=()
for CH in 1 2 3 4 5 6 7 8; do
	EPG_MIX+=("GET /cgi-bin/epg?subfunc=info&todo=list&$S&channel=$CH&up=0&down=20 - guide-$CH")
done
EPG_MIX+=("POST /cgi-bin/epg?subfunc=record&todo=add&$S&channel=3&eventId=3004 a=1 record-added")
{
	t=0
	e=0
	for ((i = 0; i < 2 * STREAM_EVERY; i++)); do
		if ((i == 0)); then
			echo "GET /cgi-bin/tunerbay?subfunc=scan&todo=get&stream=1 - stream video/mp2t"
		elif ((i == STREAM_EVERY)); then
			echo "GET /cgi-bin/epg?subfunc=info&todo=list_more&stream=1&channel=3&$S - stream video/mp2t"
		elif ((i % EPG_EVERY == 0)); then
			echo "${EPG_MIX[e++ % ${#EPG_MIX[@]}]} $JSON_TYPE"
		else
			echo "${TUNERBAY_MIX[t++ % ${#TUNERBAY_MIX[@]}]} $JSON_TYPE"
		fi
	done
} >"$LOAD_DIR/mix.plan"

# The web server's own ceiling: a static file of the size of a typical answer.
cp "$EXPECT/guide-4" "$LOGIN_DIR/www/static.json"
cp "$EXPECT/guide-4" "$EXPECT/static"
echo "GET /static.json - static -" >"$LOAD_DIR/static.plan"
STATIC_BYTES=$(stat -c %s "$EXPECT/static")

# The backend stand-in alone: what tunerbay and epg send it.
printf '%s\n' "GET /xrec/tunerbay.cgi?subfunc=region&todo=list - regions $JSON_TYPE" \
	"GET /xrec/epg.cgi?subfunc=info&todo=list&$S&channel=4&up=0&down=20 - guide-4 $JSON_TYPE" >"$LOAD_DIR/backend.plan"

# plan_count NAME PATTERN: how many requests of the load NAME match PATTERN.
plan_count() {
	local plan=$LOAD_DIR/$1.plan lines
	lines=$(wc -l <"$plan")
	# shellcheck disable=SC2017 # whole rounds of the plan, then the rest
	echo $((LOAD_REQUESTS / lines * $(grep -c -e "$2" "$plan") +
		$(head -n $((LOAD_REQUESTS % lines)) "$plan" | grep -c -e "$2")))
}

# ---------------------------------------------------------------------------
# The wrk script. With C connections, thread ID sends the requests ID, ID+C,
# ID+2C, ... below the load's total, in turn, over its one connection, and
# compares each answer with the expected one; then it stops and leaves the
# file done.ID. done() sums the threads up in one line "load-result
# NAME=VALUE...". Arguments: plan, EXPECT, total, connections, output directory.
cat >"$LOAD_DIR/load.lua" <<'EOF'
local ffi = require("ffi")
ffi.cdef [[
typedef struct { long tv_sec; long tv_nsec; } load_timespec;
int clock_gettime(int clock, load_timespec *ts);
]]
local clock_ts = ffi.new("load_timespec")
local function now_us()
  ffi.C.clock_gettime(1, clock_ts) -- CLOCK_MONOTONIC
  return tonumber(clock_ts.tv_sec) * 1e6 + tonumber(clock_ts.tv_nsec) / 1e3
end

local function read_file(path)
  local f = assert(io.open(path, "rb"))
  local data = f:read("*a")
  f:close()
  return data
end

-- Setup (wrk's main state): an id for each thread, and the threads for done().
local threads = {}
function setup(thread)
  thread:set("id", #threads)
  table.insert(threads, thread)
end

-- The run (one state per thread); the globals are read by done().
local plan, connections, out_dir
local k = 0
local verified = false
quota, responses, failures, sent, t0, t1 = 0, 0, 0, 0, nil, nil

function init(args)
  local plan_file, expect_dir, total = args[1], args[2], tonumber(args[3])
  connections, out_dir = tonumber(args[4]), args[5]
  quota = math.floor(total / connections) + (id < total % connections and 1 or 0)
  plan = {}
  local bodies = {}
  for line in io.lines(plan_file) do
    local method, path, form, name, ctype = line:match("^(%S+) (%S+) (%S+) (%S+) (.+)$")
    bodies[name] = bodies[name] or read_file(expect_dir .. "/" .. name)
    local headers = {}
    if form == "-" then
      form = nil
    else
      headers["Content-Type"] = "application/x-www-form-urlencoded"
    end
    table.insert(plan, {
      text = method .. " " .. path,
      request = wrk.format(method, path, headers, form),
      body = bodies[name],
      length = tostring(#bodies[name]),
      stream = ctype == "video/mp2t",
      ctype = ctype,
    })
  end
end

local function current()
  return plan[(k * connections + id) % #plan + 1]
end

function request()
  -- wrk asks its first thread once before the run, only to look at the
  -- request; that one is never sent.
  if not verified then
    verified = true
    if id == 0 then return current().request end
  end
  -- Nothing more goes out once the share is done, should wrk ask again
  -- before the thread stops.
  if responses >= quota then return "" end
  if not t0 then t0 = now_us() end
  sent = sent + 1
  return current().request
end

-- A short, readable excerpt of answer bytes.
local function excerpt(bytes)
  return (bytes:sub(1, 60):gsub("[%c\128-\255]", function(c) return string.format("\\x%02x", c:byte()) end))
end

local function first_difference(a, b)
  local i = 1
  while i <= #a and i <= #b and a:byte(i) == b:byte(i) do i = i + 1 end
  return i - 1
end

local function fail(r, problem)
  failures = failures + 1
  local f = io.open(out_dir .. "/fail." .. id, "a")
  f:write(r.text, ": ", problem, "\n")
  f:close()
end

function response(status, headers, body)
  local r = current()
  local h = {}
  for name, value in pairs(headers) do h[name:lower()] = value end
  if status ~= 200 then
    fail(r, "status " .. status .. ", " .. #body .. " bytes: " .. excerpt(body))
  elseif r.ctype ~= "-" and h["content-type"] ~= r.ctype then
    fail(r, "Content-Type " .. tostring(h["content-type"]))
  elseif not r.stream and h["content-length"] ~= r.length then
    fail(r, "Content-Length " .. tostring(h["content-length"]) .. " instead of " .. r.length)
  elseif r.stream and h["cache-control"] ~= "no-cache" then
    fail(r, "Cache-Control " .. tostring(h["cache-control"]))
  elseif body ~= r.body then
    local at = first_difference(body, r.body)
    fail(r, #body .. " bytes instead of " .. #r.body .. ", the first difference at byte " .. at .. ": " ..
      excerpt(body:sub(at + 1)))
  end
  responses = responses + 1
  k = k + 1
  if responses >= quota then
    t1 = now_us()
    io.open(out_dir .. "/done." .. id, "w"):close()
    wrk.thread:stop()
  end
end

function done(summary, latency)
  local n, bad, s, first, last, finished = 0, 0, 0, math.huge, 0, 0
  for _, t in ipairs(threads) do
    n = n + t:get("responses")
    bad = bad + t:get("failures")
    s = s + t:get("sent")
    local a, b = t:get("t0"), t:get("t1")
    if a and a < first then first = a end
    if b then
      finished = finished + 1
      if b > last then last = b end
    end
  end
  local elapsed = (finished == #threads and first < last) and (last - first) or summary.duration
  local e = summary.errors
  io.write(string.format("load-result responses=%d sent=%d failures=%d finished=%d elapsed_us=%d " ..
    "rate=%.1f connect=%d read=%d write=%d timeout=%d p50_ms=%.1f p99_ms=%.1f max_ms=%.1f\n",
    n, s, bad, finished, elapsed, n * 1e6 / elapsed, e.connect, e.read, e.write, e.timeout,
    latency:percentile(50) / 1000, latency:percentile(99) / 1000, latency.max / 1000))
end
EOF

# ---------------------------------------------------------------------------
# Running a load

# "BUSY IDLE": the CPU time counters of all CPUs.
cpu_sample() {
	local _ user nice system idle iowait irq softirq steal
	read -r _ user nice system idle iowait irq softirq steal _ </proc/stat
	echo "$((user + nice + system + irq + softirq + steal)) $((idle + iowait))"
}

# tcp_ext NAME: a counter of the sandbox's TCP stack.
tcp_ext() {
	awk -v name="$1" '$1 == "TcpExt:" { if (!n++) { for (i = 2; i <= NF; i++) if ($i == name) col = i } else print $col + 0 }' \
		/proc/net/netstat
}

# run_load NAME URL CONNECTIONS: LOAD_REQUESTS requests of the plan
# LOAD_DIR/NAME.plan to URL, CONNECTIONS at a time, until every wrk thread has
# done its share (or LOAD_TIME_LIMIT passed). Sets
#   LOAD_RESULT     the "load-result" line, without its name
#   LOAD_OVERFLOWS  connections that found a listen queue full (and had to wait
#                   for the kernel's retry)
#   LOAD_CPU        percent of all CPUs busy (the machine's, not only the sandbox's)
run_load() {
	local name=$1 url=$2 connections=$3 out=$LOAD_DIR/$1
	LOAD_NAME=$name
	LOAD_N=$connections
	mkdir -p "$out"
	wrk -t "$connections" -c "$connections" -d "${LOAD_TIME_LIMIT}s" --timeout 120s -s "$LOAD_DIR/load.lua" "$url" \
		-- "$LOAD_DIR/$name.plan" "$EXPECT" "$LOAD_REQUESTS" "$connections" "$out" >"$out/wrk.out" 2>"$out/wrk.err" &
	local wrk_pid=$! cpu0 cpu1 overflows
	local -a done_files
	cpu0=$(cpu_sample)
	overflows=$(tcp_ext ListenOverflows)
	# wrk runs for its whole duration unless interrupted: once every thread
	# has done its share, SIGINT ends it at once.
	while kill -0 "$wrk_pid" 2>/dev/null; do
		done_files=("$out"/done.*)
		[[ -e ${done_files[0]} ]] && ((${#done_files[@]} >= connections)) && break
		sleep 0.05
	done
	cpu1=$(cpu_sample)
	LOAD_OVERFLOWS=$(($(tcp_ext ListenOverflows) - overflows))
	kill -INT "$wrk_pid" 2>/dev/null
	wait "$wrk_pid"
	LOAD_RESULT=$(sed -n 's/^load-result //p' "$out/wrk.out")
	local b0 i0 b1 i1
	read -r b0 i0 <<<"$cpu0"
	read -r b1 i1 <<<"$cpu1"
	LOAD_CPU=$(((b1 - b0) * 100 / (b1 - b0 + i1 - i0 + 1)))
}

# result FIELD: a field of LOAD_RESULT.
result() {
	sed -n "s/.*\\<$1=\\([^ ]*\\).*/\\1/p" <<<"$LOAD_RESULT"
}

# expect_load: the last load answered every request once, exactly as expected.
expect_load() {
	local label="$LOAD_REQUESTS requests, $LOAD_N at a time" out=$LOAD_DIR/$LOAD_NAME
	if [[ -z $LOAD_RESULT ]]; then
		t_fail "$label: wrk ran" "$(tail -n 20 "$out/wrk.out" "$out/wrk.err" 2>/dev/null)"
		return
	fi
	echo "# $LOAD_NAME: $LOAD_RESULT"
	check "$label: every wrk thread did its share" test "$(result finished)" -eq "$LOAD_N"
	check "$label: $LOAD_REQUESTS answers" test "$(result responses)" -eq "$LOAD_REQUESTS"
	local errors
	errors="connect $(result connect), read $(result read), write $(result write), timeout $(result timeout)"
	check "$label: no connection failed ($errors)" test "$errors" == "connect 0, read 0, write 0, timeout 0"
	check "$label: no request sent again" test "$(result sent)" -eq "$(result responses)"
	if [[ $(result failures) == 0 ]]; then
		t_ok "$label: every answer exactly the expected one"
	else
		t_fail "$label: every answer exactly the expected one" "$(result failures) malformed, by kind:" \
			"$(cat "$out"/fail.* | sort | uniq -c | sort -rn | head -n 10)"
	fi
}

# only_servers_left: no process in the sandbox but this script, its idle
# processes, lighttpd, the backend stand-in and the watchdog with its log
# writer; the others, as "PID NAME ARGS", in PIDS_LEFT.
# shellcheck disable=SC2317 # called through check and _wait_for
only_servers_left() {
	local p comm
	PIDS_LEFT=''
	for p in /proc/[0-9]*; do
		p=${p#/proc/}
		[[ $p == "$$" || -n ${IDLE[$p]-} ]] && continue
		read -r comm <"/proc/$p/comm" 2>/dev/null || continue
		case $comm in
		lighttpd | tvheadend | dongle_watchdog) ;;
		# The watchdog's log writer, a shell of its init script.
		sh) [[ $(tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null) == *dongle_watchdog.init* ]] || PIDS_LEFT+="$p sh"$'\n' ;;
		*) PIDS_LEFT+="$p $comm $(tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null)"$'\n' ;;
		esac
	done
	[[ -z $PIDS_LEFT ]]
}

# ---------------------------------------------------------------------------
# The NAS

case_begin "NAS"
web_install
if [[ -z $DVR_EMULATOR && $DVR_PROGRAM_DIR != "$DVR_BUILD_DIR" ]]; then
	install -m 0755 "$DVR_PROGRAM_DIR/tunerbay" "$DVR_PROGRAM_DIR/epg" "$WEB_CGI_BIN/"
fi
# Two plugged-in tuners: registered with the kernel, their devices present.
for i in 0 1; do
	mkdir -p "/sys/class/dvb/dvb$i.frontend0" "/dev/dvb/adapter$i"
	echo "212:$((i * 64 + 3))" >"/sys/class/dvb/dvb$i.frontend0/dev"
	: >"/dev/dvb/adapter$i/frontend0"
done
declare -A IDLE=()
for ((i = 0; i < LOAD_PROCS; i++)); do
	sleep 1000000 &
	IDLE[$!]=1
done
backend_start --routes "$ROUTES" || sandbox_finish
BACKEND=$(backend_pid)
watchdog_install
sh "$WATCHDOG_INIT" start >>"$NAS_LOG/init.out" 2>&1
WATCHDOG=$(cat "$DONGLE_WATCHDOG_PIDFILE" 2>/dev/null)
check "the watchdog runs" test -n "$WATCHDOG" -a -d "/proc/$WATCHDOG"
login_start
LIGHTTPD=$(cat "$LOGIN_DIR/lighttpd.pid")
check "only the servers run" only_servers_left

# What the load may leave behind is compared with these.
leftover_listing >"$LOAD_DIR/before"
error_log_lines=$(wc -l <"$LOGIN_DIR/error.log")

# ---------------------------------------------------------------------------
# The mix

CASE="CGI mix"
run_load mix "$HTTP_URL" "$LOAD_CONNECTIONS"
expect_load
MIX_RATE=$(result rate)
MIX_REQUESTS=$LOAD_REQUESTS
MIX_P50=$(result p50_ms)
MIX_P99=$(result p99_ms)
MIX_MAX=$(result max_ms)
MIX_FAILURES=$(($(result failures) + 0))
MIX_CPU=$LOAD_CPU
MIX_OVERFLOWS=$LOAD_OVERFLOWS

check "every request reached the backend once" \
	test "$(grep -c '^tvheadend: connection [0-9]*: ' "$NAS_LOG/backend.out")" -eq "$LOAD_REQUESTS"
check "every backend connection carried a whole request with a route" \
	test "$(find "$BACKEND_DIR" -name 'request.*' -size 0 | wc -l) $(grep -c '/default$' "$NAS_LOG/backend.out")" == "0 0"
streams=$(plan_count mix 'stream=1')
check "$streams of them streams" test "$(grep -c 'stream=1$' "$NAS_LOG/backend.out")" -eq "$streams"
epg=$(plan_count mix /cgi-bin/epg)
check "every one of the $epg epg requests had its session checked once" \
	test "$(grep -c "^[0-9]* http POST sid=\[$GOOD_SID\] service=\[100\]\$" "$LOGIN_REQUESTS")" -eq "$epg" \
	-a "$(wc -l <"$LOGIN_REQUESTS")" -eq "$epg"
tail -n +$((error_log_lines + 1)) "$LOGIN_DIR/error.log" >"$LOAD_DIR/error.log"
expect_lines "nothing on the web server's error log" "$LOAD_DIR/error.log"

CASE="after the load"
# A program that has written its answer may still be on its way out.
if _wait_for 100 only_servers_left; then
	t_ok "no request's process left: only lighttpd, the backend and the watchdog"
else
	t_fail "no request's process left: only lighttpd, the backend and the watchdog" "$PIDS_LEFT"
fi
expect_nothing_left "nothing new in /tmp" "$LOAD_DIR/before"
check "no scratch file /tmp/dvrxmltmp*" test -z "$(compgen -G '/tmp/dvrxmltmp*')"
check "the watchdog still runs" test -d "/proc/$WATCHDOG" -a "$(cat "/proc/$WATCHDOG/comm" 2>/dev/null)" == dongle_watchdog
check "the backend was never restarted" test "$(backend_pid)" == "$BACKEND"
check "lighttpd still runs" test -d "/proc/$LIGHTTPD"
# The watchdog checks every 10 seconds: a short load may end before its first round.
_wait_for 600 grep -q 'Check usb dongle 9' "$DONGLE_WATCHDOG_LOG"
check "the watchdog checked both tuners" grep -q 'Check usb dongle 1\.\.\.' "$DONGLE_WATCHDOG_LOG"
check "the watchdog found no tuner removed" lacks 'is removed' "$DONGLE_WATCHDOG_LOG"

# ---------------------------------------------------------------------------
# The ceilings

# shellcheck disable=SC2034 # read by the check functions
CASE="static file of $STATIC_BYTES bytes"
run_load static "$HTTP_URL" "$LOAD_CONNECTIONS"
expect_load
STATIC_RATE=$(result rate)
STATIC_FAILURES=$(($(result failures) + 0))

# shellcheck disable=SC2034 # read by the check functions
CASE="backend stand-in alone"
run_load backend "http://127.0.0.1:$BACKEND_PORT" "$LOAD_CONNECTIONS"
expect_load
BACKEND_RATE=$(result rate)

# Each forward alone, then the floor of that path: a copy of bench/floor in the
# cgi-bin, its words in the file beside it (the answer, and the request the
# program sent the backend for the path during the mix). epg alone would measure
# the login service, a Python CGI of the same web server, 32 of them at a time.
FLOOR=$DVR_BUILD_DIR/bench/floor
PATHS=(
	"forward-get tunerbay.region.list GET /cgi-bin/tunerbay?subfunc=region&todo=list - regions"
	"forward-post tunerbay.network.add POST /cgi-bin/tunerbay?subfunc=network&todo=add&fr=474000000&bw=8000000 fr=474000000 network-added"
)
LOAD_REQUESTS=$PATH_REQUESTS
PATH_LINES=()
# Three rounds, the program and its floor in turn, each figure the median of its
# three: what else the machine does falls on both alike.
ROUNDS=3
# median A B C
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
for p in "${PATHS[@]}"; do
	read -r name route method target form body <<<"$p"
	if [[ -x $FLOOR ]]; then
		n=$(sed -n "s|^tvheadend: connection \([0-9]*\): $ROUTES/$route\$|\1|p" "$NAS_LOG/backend.out" | head -n 1)
		{
			# shellcheck disable=SC2059 # the programs' header block
			printf "$CGI_HEADER_FMT" "$(stat -c %s "$EXPECT/$body")"
			cat "$EXPECT/$body"
			printf '\0'
			cat "$BACKEND_DIR/request.$n"
		} >"$WEB_CGI_BIN/floor-$name.args"
		install -m 0755 "$FLOOR" "$WEB_CGI_BIN/floor-$name"
	fi
	ours=() floor=()
	for ((r = 1; r <= ROUNDS; r++)); do
		echo "$method $target $form $body $JSON_TYPE" >"$LOAD_DIR/$name.$r.plan"
		# shellcheck disable=SC2034 # read by the check functions
		CASE="$name alone, round $r"
		run_load "$name.$r" "$HTTP_URL" "$LOAD_CONNECTIONS"
		expect_load
		ours+=("$(result rate)")
		[[ -x $FLOOR ]] || continue
		echo "$method ${target/\/cgi-bin\/*\?//cgi-bin/floor-$name?} $form $body $JSON_TYPE" >"$LOAD_DIR/floor-$name.$r.plan"
		# shellcheck disable=SC2034 # read by the check functions
		CASE="$name: its floor alone, round $r"
		run_load "floor-$name.$r" "$HTTP_URL" "$LOAD_CONNECTIONS"
		expect_load
		floor+=("$(result rate)")
	done
	PATH_LINES+=("$(awk -v n="$name" -v a="$(median "${ours[@]}")" -v f="$( ((${#floor[@]})) && median "${floor[@]}")" \
		-v s="$STATIC_RATE" 'BEGIN {
		printf "#   %-12s %7.1f req/s; floor %7s req/s: %s the floor; %.2fx the static file",
			n, a, (f > 0 ? f : "-"), (f > 0 ? sprintf("%.2fx", a / f) : "-"), (s > 0 ? a / s : 0) }')")
done

sh "$WATCHDOG_INIT" stop >>"$NAS_LOG/init.out" 2>&1

ratio=$(awk -v a="$MIX_RATE" -v b="$STATIC_RATE" 'BEGIN { printf "%.4f", (b > 0 ? a / b : 0) }')
echo "# mix: answers in $MIX_P50 ms (median), $MIX_P99 ms (99%), $MIX_MAX ms at most; CPU busy $MIX_CPU% (the whole machine)"
echo "# $MIX_OVERFLOWS connections found a listen queue full during the mix and waited for a retry"
echo "# backend stand-in alone, $LOAD_CONNECTIONS connections: $BACKEND_RATE req/s"
echo "# load: $MIX_REQUESTS requests, $LOAD_CONNECTIONS concurrent: CGI mix $MIX_RATE req/s, static file $STATIC_RATE req/s (ratio $ratio), failures $((MIX_FAILURES + STATIC_FAILURES))"
echo "# each forward alone: $PATH_REQUESTS requests, $LOAD_CONNECTIONS concurrent, $LOAD_PROCS idle processes listed ahead of the backend; medians of $ROUNDS rounds"
printf '%s\n' "${PATH_LINES[@]}"
sandbox_finish
