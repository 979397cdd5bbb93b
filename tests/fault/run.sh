#!/bin/bash
# System calls failing in turn: each request path of the shipped programs is
# run once under strace to list the calls of the program's own process (name,
# occurrence), then again once per listed call with strace failing exactly that
# occurrence: with EINTR where the call can return it (the run must then be
# the same as without a fault, answer, exit status and forwarded bytes), and
# with one real failure per call site (the run must end within its bound with
# 0 or 255, never by a signal, with the answer of the run without a fault or
# one of the documented failure answers, at most one failure line, and leave
# nothing behind). Prints a table per path; exit status 0 only when every run
# passed. Children (the service script, getcfg, curl, killall) are not
# traced: they are not this system's code.
#
# Usage: DVR_BUILD_DIR=build/release bash tests/fault/run.sh [PATH...]
# Each path runs in its own sandbox (sandbox/sandbox.sh), FAULT_JOBS at a time;
# a path with waits of its own (the service start) is cut into shards.
FAULT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The paths: name|program|method|query|body|setup|shards. Setup words:
# backend (the stand-in answers JSON), stream (it answers a transport stream),
# https (the NAS serves HTTPS only), login (the session check runs), tuners.
PATHS=(
	'self|tunerbay|GET|subfunc=region&todo=list|||1'
	'forward-get|tunerbay|GET|subfunc=info&todo=list&index=0||backend|1'
	'forward-post|tunerbay|POST|subfunc=network&todo=add&fr=474000000&bw=8000000|ignored=1|backend|1'
	'option-start|tunerbay|GET|subfunc=option&todo=update&index=0&enable_dvr=1&idlescan=1||dvr|6'
	'epg-http|epg|GET|subfunc=info&todo=list&sid=Gd7f01Session||backend login|1'
	'epg-https|epg|GET|subfunc=info&todo=list&sid=Gd7f01Session||backend login https|1'
	'relay|tunerbay|GET|subfunc=scan&todo=get&stream=1||stream|1'
	'watchdog|dongle_watchdog|||||tuners|1'
)

# Calls that may return EINTR; close may too, but its descriptor is gone then
# and it must never be retried, so it gets its real failure only. An open may
# be interrupted on a device or a FIFO only (the watchdog's front end).
EINTR_CALLS=' read readv pread64 write writev pwrite64 recvfrom recvmsg sendto sendmsg poll ppoll connect
	wait4 waitid clock_nanosleep nanosleep splice '
# The real failure of each call, by what it does. Calls that cannot fail with
# the arguments the programs give them get none: getpid, geteuid, exit_group,
# rt_sigaction and rt_sigprocmask (valid signals and sets), fcntl and
# getsockopt on a descriptor of their own, prlimit64 that only reads a limit.
declare -A REAL=(
	[brk]=ENOMEM [mmap]=ENOMEM [munmap]=ENOMEM [mprotect]=ENOMEM
	[read]=EIO [readv]=EIO [pread64]=EIO [write]=EIO [writev]=EIO [pwrite64]=EIO [splice]=EIO
	[recvfrom]=ECONNRESET [recvmsg]=ECONNRESET [sendto]=EPIPE [sendmsg]=EPIPE
	[openat]=EMFILE [open]=EMFILE [socket]=EMFILE [pipe2]=EMFILE [signalfd4]=EMFILE [dup2]=EMFILE
	[clone]=EAGAIN [clone3]=EAGAIN [fork]=EAGAIN [vfork]=EAGAIN [execve]=ENOENT
	[connect]=ECONNREFUSED [poll]=ENOMEM [ppoll]=ENOMEM [getdents64]=EIO [newfstatat]=ENOMEM
	[access]=EACCES [unlink]=EACCES [ftruncate]=EIO [close]=EIO [wait4]=ECHILD [waitid]=ECHILD [lseek]=EIO
)
# Occurrences of one call site kept for a real failure: a walk over /proc
# repeats its calls once a process.
REAL_PER_SITE=3
: "${FAULT_JOBS:=4}"

# ---------------------------------------------------------------------------
# The driver, on the host: a sandbox per path (or shard), then the table.
if [[ ${1-} != --path ]]; then
	[[ -n ${DVR_BUILD_DIR-} ]] || { echo "set DVR_BUILD_DIR to the build tree" >&2; exit 2; }
	command -v strace >/dev/null || { echo "strace is missing (scripts/deps.sh tests)" >&2; exit 2; }
	want=" $* "
	out=$(mktemp -d) || exit 1
	trap 'rm -rf "$out"' EXIT
	start=$SECONDS
	jobs_list=()
	for row in "${PATHS[@]}"; do
		IFS="|" read -r name _ _ _ _ _ shards <<<"$row"
		[[ $# -eq 0 || $want == *" $name "* ]] || continue
		for ((s = 0; s < shards; s++)); do jobs_list+=("$name $s $shards"); done
	done
	for job in "${jobs_list[@]}"; do
		while (($(jobs -rp | wc -l) >= FAULT_JOBS)); do wait -n; done
		read -r name s n <<<"$job"
		bash "$0" --path "$name" "$s" "$n" >"$out/$name.$s" 2>&1 &
	done
	wait
	status=0
	printf '%-13s %6s %5s %5s  %s\n' path calls EINTR real 'what the failing runs showed'
	for row in "${PATHS[@]}"; do
		IFS='|' read -r name _ <<<"$row"
		compgen -G "$out/$name.*" >/dev/null || continue
		cat "$out/$name".* | awk -v name="$name" '
			/^# calls / { calls = $3 }
			/^# run / { n[$3]++; o[$4]++ }
			END {
				s = ""; for (k in o) s = s (s ? ", " : "") k " " o[k]
				printf "%-13s %6d %5d %5d  %s\n", name, calls, n["EINTR"], n["real"], s }'
	done
	for f in "$out"/*; do
		grep -q '^not ok' "$f" || ! grep -q '^# passed all' "$f" || continue
		status=1
		echo "--- ${f##*/}"
		grep -v -e '^ok' -e '^# run ' -e '^# calls ' "$f"
	done
	runs=$(cat "$out"/* | grep -c '^# run ')
	bad=$(cat "$out"/* | grep -c '^not ok')
	echo "fault runs: $((runs - bad)) of $runs passed in $((SECONDS - start)) s"
	((status == 0)) && echo "0 crashes, 0 hangs, 0 false successes, 0 leftovers"
	exit "$status"
fi

# ---------------------------------------------------------------------------
# One path (or one shard of it) in its own sandbox.
source "$FAULT_DIR/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"
PATH_NAME=$2 SHARD=$3 SHARDS=$4
for row in "${PATHS[@]}"; do
	IFS='|' read -r name PROGRAM METHOD QUERY BODY SETUP _ <<<"$row"
	[[ $name == "$PATH_NAME" ]] && break
done
[[ " $SETUP " == *" login "* ]] && login_start
[[ $PROGRAM == dongle_watchdog ]] && watchdog_install
JSON='{"entries":[{"id":7,"name":"ch7"}],"total_count":1}'
STREAM_BYTES=400000
FAILURE_DOCS=("$ERR_EXPECTATION" "$ERR_CANT_CONNECT" "$ERR_SERVER_MISSING" "$ERR_AUTH" "$ERR_UNKNOWN"
	"$ERR_NO_DOC" "$NOT_READY_ANSWER"
	'{"result":"failure","errcode":-2,"errmsg":"ERROR SERVER NOT EXIST","total_count":0,"enable_dvr":0}'
	'{"result":"failure","errcode":-1,"errmsg":"ERROR","enable_dvr":0}')
TRACE=$NAS_OUT/trace
progress() { printf 'Check usb dongle %d... \n' "$1"; }
CYCLE=$(progress 0; progress 1; printf 'Usb dongle 1 is removed, try to restart tvheadend... \n'
	for t in 2 3 4 5 6 7 8 9; do progress $t; done)

# The NAS every run of the path starts from.
setup_run() {
	case_begin "$PATH_NAME: $1"
	[[ " $SETUP " == *" https "* ]] && https_only
	if [[ " $SETUP " == *" backend "* ]]; then
		backend_start
		json_answer "$JSON"
	elif [[ " $SETUP " == *" stream "* ]]; then
		backend_start
		set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' 'piece 65536' \
			"stream $STREAM_BYTES" close)"
	elif [[ " $SETUP " == *" dvr "* ]]; then
		json_answer "$JSON" # for the backend that the service script starts
	fi
	rm -f "$PROC_HINT".* /tmp/dvrxmltmp*
	leftover_listing >"$NAS_OUT/before"
}

# run_path INJECTION...: one run under strace (its log in $TRACE), the
# injections as strace takes them.
run_path() {
	local -a inject=()
	local i
	for i in "$@"; do inject+=(-e "inject=$i"); done
	if [[ $PROGRAM == dongle_watchdog ]]; then
		run_watchdog "${inject[@]}"
		return
	fi
	DVR_EMULATOR="strace -qq -o $TRACE ${inject[*]}" RUN_TIMEOUT=20 run_cgi "$PROGRAM" "$METHOD" "$QUERY" "$BODY"
}

# The watchdog with its sleeps cut short (unless a sleep is the call failed,
# which then sleeps for real), until two cycles have shown or the bound.
run_watchdog() {
	local -a skip=(-e inject=clock_nanosleep:retval=0)
	[[ $* == *clock_nanosleep* ]] && skip=()
	mkdir -p /sys/class/dvb/dvb0.frontend0 /sys/class/dvb/dvb1.frontend0 /dev/dvb/adapter0
	: >/sys/class/dvb/dvb0.frontend0/dev
	: >/sys/class/dvb/dvb1.frontend0/dev
	: >/dev/dvb/adapter0/frontend0
	backend_start --no-listen
	RUN_OUT=$NAS_OUT/watchdog.out
	local lines=23 bound=10 start=$SECONDS
	((${#skip[@]} == 0)) && lines=11 bound=30
	strace -qq -o "$TRACE" "${skip[@]}" "$@" /usr/sbin/dongle_watchdog >"$RUN_OUT" 2>"$NAS_OUT/watchdog.err" &
	local tracer=$!
	while (($(wc -l <"$RUN_OUT") < lines && SECONDS - start < bound)) && [[ -d /proc/$tracer ]]; do sleep 0.05; done
	RUN_MS=$(((SECONDS - start) * 1000))
	local pid
	pid=$(pgrep -P "$tracer" -x dongle_watchdog)
	RUN_STATUS=running
	[[ -n $pid ]] || RUN_STATUS=ended
	# A fault may have left SIGTERM blocked; nothing holds KILL.
	[[ -n $pid ]] && kill -KILL "$pid"
	{ wait "$tracer"; } 2>/dev/null
}

# Sets OUTCOME (what the run showed) and PROBLEM (empty when the run passed).
judge() {
	local kind=$1 doc want
	PROBLEM=''
	local fatal='^--- SIG(SEGV|BUS|ABRT|ILL|FPE) |^\+\+\+ killed by SIG'
	# The watchdog is ended by SIGKILL once its cycles have been seen.
	[[ $PROGRAM == dongle_watchdog ]] && fatal+='[^K]'
	if grep -qE "$fatal" "$TRACE"; then
		OUTCOME=crash PROBLEM="a fault signal or death by signal: $(grep -E '^(---|\+\+\+)' "$TRACE" | tail -n 2)"
		return
	fi
	if [[ $PROGRAM == dongle_watchdog ]]; then
		judge_watchdog "$@"
		return
	fi
	if [[ $RUN_STATUS == 124 || $RUN_STATUS == 137 ]]; then
		OUTCOME=hang PROBLEM="not ended within its bound ($RUN_MS ms)"
	elif [[ $RUN_STATUS != 0 && $RUN_STATUS != 255 ]]; then
		OUTCOME=crash PROBLEM="exit status $RUN_STATUS"
	elif cmp -s "$RUN_OUT" "$NAS_OUT/base.out" && [[ $RUN_STATUS == "$BASE_STATUS" ]]; then
		OUTCOME=same
	else
		OUTCOME='false-success'
		for doc in "${FAILURE_DOCS[@]}"; do
			# Exit status 255 goes with the errcode -1 envelope, 0 with the others.
			want=0
			[[ $doc == "$ERR_EXPECTATION" ]] && want=255
			answered "$doc" "$want" || continue
			OUTCOME="errcode$(grep -oE '"errcode": ?-?[0-9]+' <<<"$doc" | grep -oE -- '-?[0-9]+$')"
		done
		# A stream that broke off (its reader gone, or its source): its
		# beginning unchanged, as the relay cannot report a failure once begun.
		if [[ $OUTCOME == false-success && " $SETUP " == *" stream "* && $RUN_STATUS == 0 ]] &&
			cmp -s "$RUN_OUT" "$NAS_OUT/base.out" -n "$(stat -c %s "$RUN_OUT")"; then
			OUTCOME=stream-cut
		# No answer, when its write failed: status 255 and the failure line.
		elif [[ ! -s $RUN_OUT && $RUN_STATUS == 255 && -s $RUN_ERR ]]; then
			OUTCOME=not-written
		# The empty document of a backend that is not there when its answer
		# is read, with the failure line.
		elif answered '' 0 && [[ -s $RUN_ERR ]]; then
			OUTCOME=backend-gone
		fi
		[[ $OUTCOME == false-success ]] && PROBLEM="answer neither the same nor a failure answer (status $RUN_STATUS): $(head -c 300 "$RUN_OUT" | tr '\r\n' '  ')"
	fi
	[[ -n $PROBLEM ]] && return
	if [[ $kind == EINTR && $OUTCOME != same ]]; then
		PROBLEM="EINTR changed the run: $OUTCOME (status $RUN_STATUS), $(head -c 200 "$RUN_ERR")"
	elif [[ $kind == EINTR && -e $NAS_OUT/base.request ]] && ! cmp -s "$(backend_request 1)" "$NAS_OUT/base.request"; then
		PROBLEM="EINTR changed the forwarded bytes"
	elif (($(wc -l <"$RUN_ERR") > 1)); then
		OUTCOME=lines PROBLEM="more than one failure line: $(head -c 300 "$RUN_ERR")"
	else
		check_leftovers
	fi
}

judge_watchdog() {
	local first next
	# A cycle begins with tuner 0's line; a failed call may cost one a line.
	cycle() { awk -v n="$1" '/^Check usb dongle 0\.\.\. $/ { c++ } c == n' "$RUN_OUT"; }
	first=$(cycle 1)
	next=$(cycle 2)
	OUTCOME=same
	[[ $first == "$CYCLE" ]] || OUTCOME=changed-cycle
	if [[ $RUN_STATUS != running ]]; then
		OUTCOME=ended PROBLEM="the watchdog ended: $(tail -n 2 "$TRACE")"
	elif [[ $1 == EINTR && $OUTCOME != same ]]; then
		PROBLEM="EINTR changed the cycle: $(tr '\n' '|' <<<"$first")"
	elif [[ $1 == EINTR && $* == *clock_nanosleep* ]] && ((RUN_MS < 20000)); then
		PROBLEM="an interrupted pause was cut short: a cycle in $RUN_MS ms"
	elif grep -q 'Usb dongle 0 is removed' <<<"$first"; then
		OUTCOME=wrong-kill PROBLEM="a present tuner taken for removed: the backend ended"
	elif [[ $* != *clock_nanosleep* && $next != "$CYCLE" ]]; then
		OUTCOME=next-wrong PROBLEM="the next cycle is not right: $(tr '\n' '|' <<<"$next")"
	fi
}

# Nothing left: the scratch file, a tool, a hint's half-written state.
check_leftovers() {
	local left hint
	_wait_for 100 _nothing_started_runs
	left=$(programs_running "${_WEB_STARTED[@]}")
	left+=$(leftover_listing | comm -13 "$NAS_OUT/before" - | grep -v '^/tmp/nas/\(backend\|lighttpd\)')
	for hint in "$PROC_HINT".*; do
		[[ -e $hint ]] || continue
		[[ $(wc -l <"$hint") == 1 ]] && grep -qxE '[1-9][0-9]*' "$hint" || left+=" hint: $(od -c "$hint" | head -n 2)"
	done
	[[ -z ${left// /} ]] || OUTCOME=leftover PROBLEM="left behind: $left"
}

# The record: the calls of the path's own process after its main began.
setup_run record
run_path
cp "$RUN_OUT" "$NAS_OUT/base.out"
BASE_STATUS=$RUN_STATUS
[[ -s $(backend_request 1) ]] && cp "$(backend_request 1)" "$NAS_OUT/base.request"
FIRST_CALL=getpid
[[ $PROGRAM == dongle_watchdog ]] && FIRST_CALL=clock_nanosleep
# name occurrence site, one line a call: the site is the call with its first
# argument (a path's digits taken out): the same call site in a loop.
awk -v first="$FIRST_CALL" -v prog="$PROGRAM" '
	match($0, /^[a-z0-9_]+\(/) {
		name = substr($0, 1, RLENGTH - 1); occ = ++count[name]
		if (name == first) in_main = 1
		if (!in_main) next
		if (prog == "dongle_watchdog" && name == "clock_nanosleep" && occ == 3) exit
		arg = substr($0, RLENGTH + 1); sub(/, .*/, "", arg)
		if (name == "openat" || arg ~ /^"/) {
			arg = $0; sub(/^[^"]*"/, "", arg); sub(/".*/, "", arg); gsub(/[0-9]+/, "N", arg)
		}
		print name, occ, name "(" arg
	}' "$TRACE" >"$NAS_OUT/calls"
PLAN=$NAS_OUT/plan
awk -v eintr="$EINTR_CALLS" -v prog="$PROGRAM" -v keep="$REAL_PER_SITE" '
	BEGIN { n = split(eintr, e, /[ \t\n]+/); for (i = 1; i <= n; i++) if (e[i] != "") can[e[i]] = 1 }
	{
		if (can[$1] || ($1 == "openat" && $3 ~ /^openat\(\/dev\//)) print $1, $2, "EINTR"
		if (++site[$3] <= keep) print $1, $2, "real"
	}' "$NAS_OUT/calls" >"$PLAN"
((SHARD == 0)) && echo "# calls $(wc -l <"$NAS_OUT/calls") listed"
check "$PATH_NAME: record run (status $BASE_STATUS)" test -s "$NAS_OUT/base.out"

n=0
while read -r name occ kind; do
	((n++ % SHARDS == SHARD)) || continue
	errno=EINTR
	if [[ $kind == real ]]; then
		errno=${REAL[$name]-}
		[[ -n $errno ]] || continue
	fi
	setup_run "$name#$occ $errno"
	run_path "$name:error=$errno:when=$occ"
	judge "$kind" "$name"
	echo "# run $kind $OUTCOME $name#$occ $errno"
	if [[ -n $PROBLEM ]]; then t_fail "$name#$occ $errno: $OUTCOME" "$PROBLEM"; fi
done <"$PLAN"
backend_stop
# shellcheck disable=SC2034 # the sandbox's reports read it: the last line names no case
CASE=''
t_ok "$PATH_NAME shard $SHARD of $SHARDS: $(grep -c . "$PLAN") planned"
sandbox_finish
