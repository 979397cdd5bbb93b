# shellcheck shell=bash disable=SC2034 # the constants are for the sourcing scripts
# The sandboxed NAS of the tests, the demo and the benchmark (sandbox/README.md):
# the shipped programs, unchanged, with their fixed paths, address and /proc
# made private, beside the stand-ins of what lives outside this system.
#
# Entering: source this file, then sandbox_enter "$0" "$@": the script re-runs
# in private mount, network and pid namespaces and goes on inside, with the NAS
# under $NAS_DIR. Needs root. DVR_BUILD_DIR is the build tree (the stand-ins
# come from its sandbox/); DVR_PROGRAM_DIR takes the programs from another tree,
# DVR_EMULATOR runs them through a command prefix such as qemu-arm.
#
# A case: case_begin LABEL (case_in GROUP LABEL counts it for group_counts)
# starts from the same NAS (nas_reset): backend stopped, its directory, logs and
# marker files cleared, the default configuration (nas_config; https_only) and
# the one session $GOOD_SID (login_sessions). login_start starts the web server
# with the login service, once a script; backend_start [--no-listen|--routes DIR]
# the backend stand-in.
#
# The backend's answer: set_answer SCRIPT [N] (or json_answer BODY [N]) for
# connection N, all connections without N; one directive a line: json FILE,
# raw FILE, text STRING (the rest of the line, with \r \n \xHH), stream BYTES,
# piece N, pause MS, close, reset (drops unsent bytes: pause first), wait MS
# (before reading the request).
#
# A request: run_cgi PROGRAM METHOD QUERY [BODY] runs the program as the web
# server does (RUN_OUT, RUN_ERR, RUN_STATUS, RUN_MS). For one run, set
# RUN_ENV=(NAME=VALUE...), RUN_UNSET=(NAME...), RUN_WRAP=(COMMAND...),
# RUN_TIMEOUT=SECONDS or RUN_NO_QUERY=1; case_in empties the arrays. Through the
# web server: web METHOD URL [BODY] (WEB_HEAD, WEB_BODY, WEB_STATUS).
#
# Assertions print TAP lines, "ok N - CASE: LABEL" or "not ok" with diagnostics:
# expect_answer LABEL DOC [STATUS] (header block, DOC, exit status),
# expect_forwarded LABEL METHOD PATH QUERY, expect_no_request LABEL,
# expect_lines LABEL FILE [LINE...], expect_bytes LABEL FILE ESCAPED,
# expect_log_line LABEL REGEX (the run's failure line),
# check LABEL COMMAND..., todo_check for a known fault. sandbox_finish ends the
# report with the plan and the exit status.
#
# Marker files, until the next case: $NAS_DIR/dvr.nostart (the DVR service
# script starts no backend), dvr.args (words for it, one a line), dvr.slow (its
# start takes 2 s more), dvr.hang (its start never ends by itself);
# $LOGIN_DIR/misbehave (a mode of standin/authLogin.cgi).
# The stand-ins' records: $NAS_LOG/getcfg.log (kept only when it exists, as
# case_begin makes it), getcfg.env, getcfg.fd, dvr.log, dvr.env, dvr.fd;
# $BACKEND_DIR/request.N; $LOGIN_REQUESTS. A hostile command leaves $HOSTILE_MARK.

: "${DVR_SOURCE_DIR:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
export DVR_SOURCE_DIR
STANDIN_DIR=$DVR_SOURCE_DIR/sandbox/standin

# The sandbox's fixed places. The stand-ins run with the web server's
# environment, which holds nothing of the sandbox's, so they know these paths
# by heart as well.
NAS_DIR=/tmp/nas
NAS_LOG=$NAS_DIR/log
NAS_OUT=$NAS_DIR/out
BACKEND_DIR=$NAS_DIR/backend
LOGIN_DIR=$NAS_DIR/login
# The NAS's installed system, as `cmake --install` lays it out with DESTDIR and
# prefix /usr; the web server runs every program in its cgi-bin.
WEB_ROOT=$NAS_DIR/root
WEB_CGI_BIN=$WEB_ROOT/usr/lib/cgi-bin
# A host directory shared with the host half of the script (DVR_SANDBOX_SHARE).
NAS_SHARE=$NAS_DIR/share
NAS_CONFIG=/etc/config/Moravel.conf
DVR_SCRIPT=/etc/init.d/dvr.sh
BACKEND_PORT=9981
LOGIN_HTTP_PORT=8080
LOGIN_HTTPS_PORT=8443
# The session the login service confirms in every fresh case.
GOOD_SID=Gd7f01Session
# A command a hostile request might try to run leaves this file behind.
HOSTILE_MARK=/tmp/x
# The one file the programs keep from run to run: the backend's process id.
PROC_HINT=/tmp/dvrproc.hint
# The watchdog's init script with its fixed paths: the program in /usr/sbin
# (watchdog_install puts it into the sandbox's overlay), pid file and log.
WATCHDOG_INIT=$DVR_SOURCE_DIR/watchdog/dongle_watchdog.init
DONGLE_WATCHDOG_PIDFILE=/var/run/dongle_watchdog.pid
DONGLE_WATCHDOG_LOG=/var/log/dongle_watchdog.log

# The answer texts of the programs: header block and failure envelopes.
CGI_HEADER_FMT='Connection: Close\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: %d\r\n\r\n'
TS_HEADER='Server: HTS/tvheadend\r\nCache-Control: no-cache\r\nConnection: Close\r\nContent-Type: video/mp2t\r\n\r\n'
ERR_NO_DOC='{"total_count": 0, "result": "failure", "errcode": 0, "errmsg": "ERROR"}'
ERR_CANT_CONNECT='{"total_count": 0, "result": "failure", "errcode": -3, "errmsg": "ERROR CANT CONNECT TO SERVER"}'
ERR_UNKNOWN='{"total_count": 0, "result": "failure", "errcode": -4, "errmsg": "ERROR UNKNOW COMMAND"}'
ERR_SERVER_MISSING='{"total_count": 0, "result": "failure", "errcode": -2, "errmsg": "ERROR SERVER NOT EXIST"}'
ERR_AUTH='{"total_count": 0, "result": "failure", "errcode": -5, "errmsg": "ERROR AUTHENTICATION FAIL"}'
ERR_EXPECTATION='{"total_count": 0, "result": "failure", "errcode": -1, "errmsg": "ERROR"}'
# tunerbay's own answer to the tuner list while the backend is not running.
NOT_READY_ANSWER='{"entries": [], "result": "fail", "errcode": -99, "total_count": 0, "errmsg": "tvheadend isn'"'"'t ready."}'

# ---------------------------------------------------------------------------
# Entering the sandbox

# Re-runs the calling script inside fresh namespaces unless it already runs
# there; inside, builds the sandbox and returns to the script.
#
# A script may also work on the host beside its sandbox: when it defines the
# function sandbox_beside, the host half calls it with the pid of the sandbox's
# first process (its namespaces are /proc/PID/ns/*) once the namespaces stand,
# and waits for the sandbox to end only after it has returned; it may trap INT,
# TERM and HUP itself while it runs. A failure of sandbox_beside fails the
# script. With DVR_SANDBOX_SHARE set to a host directory, the sandbox sees that
# directory as $NAS_SHARE.
#
# However the host half ends (the sandbox's end, exit, an error, SIGINT, SIGTERM,
# SIGHUP, or SIGPIPE from a closed output, with status 128+N for a signal), it
# ends the sandbox and every process in it first, then runs the EXIT trap the
# script had set before sandbox_enter: that trap may remove what the sandbox
# still used.
sandbox_enter() {
	local script=$1
	shift
	if [[ ${DVR_SANDBOX_INSIDE-} != 1 ]]; then
		_sandbox_outer "$script" "$@" # exits with the script's status
	fi
	_sandbox_setup || _sandbox_die "cannot build the sandbox"
}

_sandbox_die() {
	echo "Bail out! $*"
	exit 1
}

# Paths of the host that a sandbox must never create or change.
_HOST_WATCHED=(/tmp/nas /tmp/x /sbin/getcfg /sbin/curl /usr/sbin/getcfg /usr/sbin/curl
	/etc/init.d/dvr.sh /etc/config /dev/dvb /sys/class/dvb)

_host_snapshot() {
	local p
	for p in "${_HOST_WATCHED[@]}"; do
		[[ -e $p || -L $p ]] && echo "exists $p"
	done
	# Names only: these directories are the ones the sandbox writes over. Each
	# name whole, so that a change names the file.
	for p in /etc/init.d /usr/sbin /sbin; do
		ls -A "$p/" 2>/dev/null | sed "s|^|listing $p/|"
	done
	compgen -G '/tmp/dvrxmltmp*' | sed 's/^/scratch /'
	true
}

_sandbox_outer() {
	local script=$1
	shift
	[[ $EUID -eq 0 ]] || _sandbox_die "the sandbox needs root (mount and network namespaces)"
	[[ -n ${DVR_BUILD_DIR-} ]] || _sandbox_die "set DVR_BUILD_DIR to the build tree (ctest sets it)"
	DVR_BUILD_DIR=$(cd "$DVR_BUILD_DIR" && pwd) || _sandbox_die "no build tree at $DVR_BUILD_DIR"
	export DVR_BUILD_DIR
	: "${DVR_PROGRAM_DIR:=$DVR_BUILD_DIR}"
	DVR_PROGRAM_DIR=$(cd "$DVR_PROGRAM_DIR" && pwd) || _sandbox_die "no program tree at $DVR_PROGRAM_DIR"
	export DVR_PROGRAM_DIR DVR_EMULATOR=${DVR_EMULATOR-}
	local tool
	if [[ -n $DVR_EMULATOR ]]; then
		command -v "${DVR_EMULATOR%% *}" >/dev/null || _sandbox_die "missing emulator: ${DVR_EMULATOR%% *}"
	fi
	for tool in unshare ip lighttpd openssl curl /usr/bin/python3 awk timeout; do
		command -v "$tool" >/dev/null || _sandbox_die "missing tool: $tool"
	done

	_SANDBOX_BEFORE=$(_host_snapshot)
	# The script's own exit trap, as `trap -p` prints it: trap -- COMMAND EXIT.
	local -a caller_exit=()
	eval "caller_exit=($(trap -p EXIT))"
	_SANDBOX_CALLER_EXIT=${caller_exit[2]-}
	_SANDBOX_PID=''
	_SANDBOX_REAPED=''
	trap _sandbox_outer_end EXIT
	_sandbox_outer_signals
	DVR_SANDBOX_INSIDE=1 unshare --mount --net --pid --fork --kill-child --mount-proc \
		bash "$script" "$@" &
	_SANDBOX_PID=$!
	local i
	# The namespace of the sandbox's processes, to look for stragglers after.
	_SANDBOX_NS=''
	for ((i = 0; i < 200; i++)); do
		_SANDBOX_NS=$(readlink "/proc/$_SANDBOX_PID/ns/pid_for_children" 2>/dev/null) || break
		[[ $_SANDBOX_NS != "$(readlink /proc/self/ns/pid)" ]] && break
		sleep 0.01
	done
	local beside=0
	if declare -F sandbox_beside >/dev/null; then
		sandbox_beside "$_SANDBOX_PID" || beside=$?
		_sandbox_outer_signals
	fi
	wait "$_SANDBOX_PID"
	local status=$?
	# Reaped: its id may now belong to another process.
	_SANDBOX_REAPED=1
	((status == 0)) && status=$beside
	exit "$status"
}

# A signal ends the host half, and by its exit trap the sandbox. A closed
# output must not kill the shell before that trap has run; what it still
# prints goes nowhere.
_sandbox_outer_signals() {
	trap 'exit 129' HUP
	trap 'exit 130' INT
	trap 'exit 143' TERM
	trap 'exec >/dev/null; exit 141' PIPE
}

# The exit trap of the host half, on every way out.
_sandbox_outer_end() {
	local status=$? changed=0
	# A second ^C must not cut the cleanup short.
	trap '' HUP INT TERM PIPE
	if [[ -n $_SANDBOX_PID ]]; then
		# unshare leaves SIGTERM to its child, so only SIGKILL ends it, and by
		# --kill-child the sandbox.
		if [[ -z ${_SANDBOX_REAPED-} ]]; then
			kill -KILL "$_SANDBOX_PID" 2>/dev/null
			wait "$_SANDBOX_PID" 2>/dev/null
		fi
		local after
		after=$(_host_snapshot)
		if [[ $_SANDBOX_BEFORE != "$after" ]]; then
			echo "not ok - the host changed outside the sandbox"
			diff <(echo "$_SANDBOX_BEFORE") <(echo "$after") | sed 's/^/#   /'
			changed=1
		fi
		# The kernel ends the rest of the namespace when its first process
		# ends; that takes a moment.
		local left='' i
		if [[ -n $_SANDBOX_NS && $_SANDBOX_NS != "$(readlink /proc/self/ns/pid)" ]]; then
			for ((i = 0; i < 100; i++)); do
				left=$(pid_ns_members "$_SANDBOX_NS")
				[[ -z $left ]] && break
				sleep 0.02
			done
		fi
		if [[ -n $left ]]; then
			echo "not ok - processes of the sandbox outlived it:$left"
			changed=1
		fi
		((changed == 0)) && echo "ok - the host is unchanged and no process of the sandbox is left"
	fi
	if [[ -n $_SANDBOX_CALLER_EXIT ]]; then
		(exit "$status")
		eval "$_SANDBOX_CALLER_EXIT"
	fi
	((status == 0 && changed != 0)) && status=1
	exit "$status"
}

# Puts an overlay on dir whose writes land in the sandbox's tmpfs.
_sandbox_overlay() {
	local dir=$1 name
	name=$(echo "$dir" | tr / _)
	mkdir -p "$NAS_DIR/.layers/$name/upper" "$NAS_DIR/.layers/$name/work" || return 1
	mount -t overlay "sandbox$name" \
		-o "lowerdir=$dir,upperdir=$NAS_DIR/.layers/$name/upper,workdir=$NAS_DIR/.layers/$name/work" "$dir"
}

_sandbox_setup() {
	set -o pipefail
	export LC_ALL=C
	# A web server starts its CGIs with descriptors 0-2 only; whatever the
	# caller of the test left open must not reach the programs.
	local fd
	for fd in "/proc/$$/fd"/*; do
		fd=${fd##*/}
		if ((fd > 2 && fd != 255)); then { exec {fd}>&-; } 2>/dev/null; fi
	done
	# Nothing mounted here may reach the host's mount table.
	mount --make-rprivate / || return 1
	ip link set lo up || return 1
	# Host directories that the new /tmp would hide stay reachable: each is
	# opened before the mount and bound afterwards, the shared one to NAS_SHARE,
	# a source, build or program tree under /tmp back to its own path (a tree
	# inside another comes with it).
	local -a keep_fd=() keep_at=()
	local dir fd last=''
	while IFS= read -r dir; do
		[[ $dir == /tmp/* && ( -z $last || $dir != "$last"/* ) ]] || continue
		exec {fd}<"$dir" || return 1
		keep_fd+=("$fd")
		keep_at+=("$dir")
		last=$dir
	done < <(printf '%s\n' "$DVR_SOURCE_DIR" "$DVR_BUILD_DIR" "$DVR_PROGRAM_DIR" | sort -u)
	if [[ -n ${DVR_SANDBOX_SHARE-} ]]; then
		exec {fd}<"$DVR_SANDBOX_SHARE" || return 1
		keep_fd+=("$fd")
		keep_at+=("$NAS_SHARE")
	fi
	mount -t tmpfs -o mode=1777 sandbox-tmp /tmp || return 1
	mkdir -p "$NAS_DIR" "$NAS_LOG" "$NAS_OUT" "$NAS_DIR/bin" "$BACKEND_DIR" \
		"$LOGIN_DIR/www" "$WEB_CGI_BIN" || return 1
	# mount would otherwise turn the descriptor back into its path name, which
	# now names the new, empty place.
	local i
	for i in "${!keep_fd[@]}"; do
		fd=${keep_fd[i]}
		mkdir -p "${keep_at[i]}" && mount --no-canonicalize --bind "/proc/self/fd/$fd" "${keep_at[i]}" || return 1
		exec {fd}<&-
	done

	# /sbin is a link to usr/sbin on merged-/usr systems: the overlay goes on the
	# real directory, so every system tool stays where it is.
	local sbin
	sbin=$(readlink -f /sbin) || return 1
	_sandbox_overlay "$sbin" || return 1
	# /etc/config does not exist on the host: an overlay over /etc gives the
	# mount points without touching the host's /etc.
	_sandbox_overlay /etc || return 1
	mkdir -p /etc/init.d /etc/config || return 1
	mount -t tmpfs sandbox-initd /etc/init.d || return 1
	mount -t tmpfs sandbox-config /etc/config || return 1
	# The DVB nodes of the tuner tests; /dev is the host's devtmpfs.
	_sandbox_overlay /dev || return 1
	mount -t tmpfs -o mode=1777 sandbox-shm /dev/shm || return 1
	mkdir -p /dev/dvb || return 1
	mount -t tmpfs sandbox-dvb /dev/dvb || return 1
	mount -t tmpfs sandbox-sysclass /sys/class || return 1
	mkdir -p /sys/class/dvb || return 1
	mount -t tmpfs sandbox-sysdvb /sys/class/dvb || return 1
	# Where init scripts keep pid files and logs.
	mount -t tmpfs sandbox-run "$(readlink -f /var/run)" || return 1
	mount -t tmpfs sandbox-varlog /var/log || return 1
	# The NAS's cgi-bin where the installed web server snippets name it (the
	# web server package makes the directory).
	mount --bind "$WEB_CGI_BIN" /usr/lib/cgi-bin || return 1

	# The stand-ins, the built ones from STANDIN_BIN. The backend gets a plain
	# copy at a fixed place, under its process name, so the DVR service script
	# can start it without any environment.
	STANDIN_BIN=$DVR_BUILD_DIR/sandbox
	install -m 0755 "$STANDIN_BIN/tvheadend" "$NAS_DIR/bin/tvheadend" || return 1
	install -m 0755 "$STANDIN_BIN/getcfg" /sbin/getcfg || return 1
	install -m 0755 "$(command -v curl)" /sbin/curl || return 1
	install -m 0755 "$STANDIN_DIR/dvr.sh" "$DVR_SCRIPT" || return 1
	install -m 0755 "$STANDIN_DIR/authLogin.cgi" "$WEB_CGI_BIN/authLogin.cgi" || return 1

	_T_COUNT=0
	_T_FAILED=0
	_T_FINISHED=0
	RUN_N=0
	CASE=''
	trap _sandbox_on_exit EXIT
	echo "# sandbox ready: $(uname -r), build tree $DVR_BUILD_DIR${DVR_EMULATOR:+, programs from $DVR_PROGRAM_DIR under $DVR_EMULATOR}"
}

# ---------------------------------------------------------------------------
# Reporting

t_ok() {
	_T_COUNT=$((_T_COUNT + 1))
	echo "ok $_T_COUNT - ${CASE:+$CASE: }$1"
}

# t_fail LABEL [DIAGNOSTIC LINES...]
t_fail() {
	_T_COUNT=$((_T_COUNT + 1))
	_T_FAILED=$((_T_FAILED + 1))
	echo "not ok $_T_COUNT - ${CASE:+$CASE: }$1"
	shift
	local line
	for line in "$@"; do
		printf '%s\n' "$line" | sed 's/^/#   /'
	done
}

# check LABEL COMMAND...: ok when the command succeeds.
check() {
	local label=$1
	shift
	if "$@"; then t_ok "$label"; else t_fail "$label" "failed: $*"; fi
}

# todo_check LABEL COMMAND...: the check of a known fault that is not mended
# yet; a failure shows as TAP "not ok ... # TODO" and does not fail the script.
todo_check() {
	local label=$1
	shift
	if "$@"; then
		t_ok "$label"
	else
		_T_COUNT=$((_T_COUNT + 1))
		echo "not ok $_T_COUNT - ${CASE:+$CASE: }$label # TODO known fault"
	fi
}

# lacks PATTERN FILE: succeeds when FILE exists and no line of it matches
# PATTERN (a file that was never written proves nothing).
lacks() {
	[[ -f $2 ]] && ! grep -q -e "$1" "$2"
}

# Shows a file's bytes readably (C escapes), cut after a few lines.
_show_bytes() {
	if [[ ! -e $1 ]]; then
		echo "(no file $1)"
		return
	fi
	od -An -c -w32 -v "$1" | head -n 12
	local size
	size=$(stat -c %s "$1")
	((size > 384)) && echo "... ($size bytes)"
}

# expect_bytes LABEL FILE EXPECTED: the file holds exactly the bytes of
# EXPECTED, written with printf escapes (\r \n \t \\ \xHH).
expect_bytes() {
	local label=$1 file=$2 want
	want=$(mktemp "$NAS_OUT/want.XXXXXX")
	printf '%b' "$3" >"$want"
	_expect_same_file "$label" "$file" "$want"
	rm -f "$want"
}

_expect_same_file() {
	local label=$1 file=$2 want=$3
	if [[ -e $file ]] && cmp -s "$file" "$want"; then
		t_ok "$label"
	else
		t_fail "$label" "expected:" "$(_show_bytes "$want")" "got ($file):" "$(_show_bytes "$file")"
	fi
}

# expect_status LABEL N: the last run's exit status.
expect_status() {
	if [[ $RUN_STATUS == "$2" ]]; then
		t_ok "$1"
	else
		t_fail "$1" "exit status $RUN_STATUS, expected $2" "standard error: $(head -c 600 "$RUN_ERR")"
	fi
}

# expect_answer LABEL DOCUMENT [STATUS]: the last run answered with the CGI
# header block and exactly DOCUMENT (taken literally), and ended with STATUS
# (default 0).
expect_answer() {
	local label=$1 doc=$2 status=${3-0} want
	want=$(mktemp "$NAS_OUT/want.XXXXXX")
	# shellcheck disable=SC2059
	printf "$CGI_HEADER_FMT%s" "${#doc}" "$doc" >"$want"
	_expect_same_file "$label: answer" "$RUN_OUT" "$want"
	rm -f "$want"
	expect_status "$label: exit status $status" "$status"
}

# answered DOCUMENT [STATUS]: succeeds when the last run answered as
# expect_answer describes it.
answered() {
	local doc=$1
	[[ $RUN_STATUS == "${2-0}" ]] || return 1
	# shellcheck disable=SC2059
	cmp -s "$RUN_OUT" <(printf "$CGI_HEADER_FMT%s" "${#doc}" "$doc")
}

# expect_lines LABEL FILE [LINE...]: the file consists of exactly these lines
# (none: empty or missing).
expect_lines() {
	local label=$1 file=$2 want
	shift 2
	want=$(mktemp "$NAS_OUT/want.XXXXXX")
	(($# > 0)) && printf '%s\n' "$@" >"$want"
	if [[ $# -eq 0 && ! -s $file ]] || { [[ -e $file ]] && cmp -s "$file" "$want"; }; then
		t_ok "$label"
	else
		t_fail "$label" "expected lines:" "$(cat "$want")" "got:" "$(cat "$file" 2>/dev/null)"
	fi
	rm -f "$want"
}

# expect_log_line LABEL REGEX: the last run wrote one line to standard error,
# the failure line, and REGEX (extended) matches it whole.
expect_log_line() {
	if [[ $(wc -l <"$RUN_ERR") == 1 && -z $(tail -c 1 "$RUN_ERR" | tr -d '\n') ]] && grep -Eqx -e "$2" "$RUN_ERR"; then
		t_ok "$1"
	else
		t_fail "$1" "expected one line matching: $2" "got:" "$(head -c 600 "$RUN_ERR")"
	fi
}

# Ends the script's report: the plan, a summary, the exit status.
sandbox_finish() {
	_T_FINISHED=1
	echo "1..$_T_COUNT"
	if ((_T_FAILED > 0)); then
		echo "# FAILED $_T_FAILED of $_T_COUNT"
		exit 1
	fi
	echo "# passed all $_T_COUNT"
	exit 0
}

_sandbox_on_exit() {
	local status=$?
	if ((_T_FINISHED == 0)); then
		echo "# the script ended early (status $status) after $_T_COUNT checks, $_T_FAILED failed"
		((status == 0)) && exit 1
	fi
}

# ---------------------------------------------------------------------------
# Cases: every case starts from the same NAS

# nas_reset: the NAS every case starts from: the backend stopped, its
# directory, the logs and the marks cleared, the default configuration and
# session table.
nas_reset() {
	backend_stop
	rm -rf "$BACKEND_DIR" "$NAS_DIR/dvr.nostart" "$NAS_DIR/dvr.args" "$NAS_DIR/dvr.slow" "$NAS_DIR/dvr.hang" \
		"$HOSTILE_MARK"
	mkdir -p "$BACKEND_DIR"
	# The logs' files only: a web server's log folder may live there (the demo's /var/log).
	find "$NAS_LOG" -maxdepth 1 -type f -delete
	rm -f "$LOGIN_DIR"/body.* "$LOGIN_DIR/misbehave"
	# getcfg logs its calls, environment and descriptors only when its call log exists.
	: >"$NAS_LOG/getcfg.log"
	: >"$NAS_LOG/dvr.log"
	: >"$LOGIN_DIR/requests.log"
	nas_config "System/Web Access Port=$LOGIN_HTTP_PORT" "System/Force SSL=0" "Stunnel/port=$LOGIN_HTTPS_PORT"
	login_sessions "$(printf '%s\tadmin' "$GOOD_SID")"
}

# case_begin LABEL: a fresh case (nas_reset) whose checks LABEL names.
case_begin() {
	CASE=$1
	nas_reset
}

# case_in GROUP LABEL: case_begin for a case of GROUP, counted for
# group_counts; the per-run settings RUN_ENV, RUN_UNSET and RUN_WRAP start empty.
declare -A _GROUP_CASES=()
_GROUP_ORDER=()
case_in() {
	[[ -v _GROUP_CASES[$1] ]] || _GROUP_ORDER+=("$1")
	_GROUP_CASES[$1]=$((${_GROUP_CASES[$1]-0} + 1))
	RUN_ENV=()
	RUN_UNSET=()
	RUN_WRAP=()
	case_begin "$1: $2"
}

# group_counts: how many cases each group tried, one "# GROUP: N cases" line
# per group in order of first use.
group_counts() {
	local group
	for group in "${_GROUP_ORDER[@]}"; do
		echo "# $group: ${_GROUP_CASES[$group]} cases"
	done
}

# nas_config "Section/Key=Value"...: writes the NAS configuration file with
# exactly these settings, sections in order of first mention.
nas_config() {
	local -a sections=()
	local -A settings=()
	local kv section rest
	for kv in "$@"; do
		section=${kv%%/*}
		rest=${kv#*/}
		[[ -v settings[$section] ]] || sections+=("$section")
		settings[$section]+="${rest%%=*} = ${rest#*=}"$'\n'
	done
	{
		for section in "${sections[@]}"; do
			printf '[%s]\n%s\n' "$section" "${settings[$section]}"
		done
	} >"$NAS_CONFIG"
}

# https_only: the NAS serves its web interface over HTTPS only.
https_only() {
	nas_config "System/Web Access Port=$LOGIN_HTTP_PORT" "System/Force SSL=1" "Stunnel/port=$LOGIN_HTTPS_PORT"
}

# login_sessions "SID<TAB>NAME"...: the sessions the login service confirms.
login_sessions() {
	: >"$LOGIN_DIR/sessions"
	(($# > 0)) && printf '%s\n' "$@" >"$LOGIN_DIR/sessions"
	true
}

# ---------------------------------------------------------------------------
# Servers

# Whether something listens on 127.0.0.1:PORT (the sandbox's own table).
port_listening() {
	local hex
	hex=$(printf '%04X' "$1")
	grep -q "^ *[0-9]*: 0100007F:$hex 00000000:0000 0A " /proc/net/tcp
}

_wait_for() {
	local tries=$1
	shift
	while ! "$@"; do
		((tries-- > 0)) || return 1
		sleep 0.02
	done
}

# The backend's pid, or nothing.
backend_pid() {
	local pid
	pid=$(cat "$BACKEND_DIR/pid" 2>/dev/null) || return 1
	[[ $pid =~ ^[0-9]+$ ]] && [[ -d /proc/$pid ]] && echo "$pid"
}

# backend_start [ARGS...]: starts the backend stand-in (extra ARGS such as
# --no-listen) and waits until it listens (or, with --no-listen, runs).
# shellcheck disable=SC2120 # the scripts pass ARGS
backend_start() {
	backend_stop
	rm -f "$BACKEND_DIR/pid"
	"$NAS_DIR/bin/tvheadend" --dir "$BACKEND_DIR" "$@" >>"$NAS_LOG/backend.out" 2>&1 &
	if ! _wait_for 250 test -s "$BACKEND_DIR/pid"; then
		t_fail "backend stand-in starts" "$(cat "$NAS_LOG/backend.out")"
		return 1
	fi
}

_gone() {
	[[ ! -e /proc/$1 ]]
}

# Ends the backend, whoever started it, and waits until it is gone from
# /proc, zombie included: a CGI must not take a dying backend for a live one.
backend_stop() {
	local pid
	pid=$(backend_pid) || return 0
	kill "$pid" 2>/dev/null
	wait "$pid" 2>/dev/null
	_wait_for 250 _gone "$pid" || t_fail "backend $pid ends"
	rm -f "$BACKEND_DIR/pid"
}

# set_answer SCRIPT [N]: the backend's answer script for connection N (all
# connections without N). Directives: json FILE, raw FILE, text STRING,
# stream BYTES, piece N, pause MS, close, reset, wait MS.
set_answer() {
	printf '%s\n' "$1" >"$BACKEND_DIR/answer${2:+.$2}"
}

# What a relay of N stream bytes writes: the relay's own header lines, then the
# stand-in's stream pattern. make_expected_stream N FILE
make_expected_stream() {
	{
		printf '%b' "$TS_HEADER"
		if (($1 > 0)); then "$NAS_DIR/bin/tvheadend" --print-stream "$1"; fi
	} >"$2"
}

# json_answer BODY [N]: a 200 answer with this JSON body (taken literally).
json_answer() {
	local file=$BACKEND_DIR/body${2:+.$2}.json
	printf '%s' "$1" >"$file"
	set_answer "json $file" "${2-}"
}

# The raw request of connection N (default 1).
backend_request() {
	echo "$BACKEND_DIR/request.${1-1}"
}

# expect_no_request LABEL: no request bytes reached the backend (a connection
# that was opened and closed without a request is fine).
expect_no_request() {
	local f got=''
	for f in "$BACKEND_DIR"/request.*; do
		[[ -s $f ]] && got+="$f: $(head -c 200 "$f")"
	done
	if [[ -z $got ]]; then t_ok "$1"; else t_fail "$1" "the backend received:" "$got"; fi
}

# expect_backend_untouched LABEL: no connection reached the backend at all.
expect_backend_untouched() {
	if compgen -G "$BACKEND_DIR/request.*" >/dev/null; then
		t_fail "$1" "the backend was contacted: $(ls "$BACKEND_DIR")"
	else
		t_ok "$1"
	fi
}

# line_query QUERY: QUERY as the request line carries it: blanks and control
# bytes percent-encoded, every other byte as it is.
line_query() {
	local LC_ALL=C q=$1 c i
	for ((i = 0; i < ${#q}; i++)); do
		c=${q:i:1}
		if [[ $c == [[:cntrl:]] || $c == ' ' ]]; then printf '%%%02X' "'$c"; else printf '%s' "$c"; fi
	done
}

# forwarded_request METHOD PATH QUERY: the bytes of the request by which a
# program forwards QUERY, taken byte for byte (no escapes are interpreted): a
# GET's request line without header lines, or a POST with three header lines in
# this order and the query as the form body.
forwarded_request() {
	if [[ $1 == GET ]]; then
		printf 'GET %s?%s HTTP/1.1\r\n\r\n' "$2" "$(line_query "$3")"
	else
		printf 'POST %s HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nHost: 127.0.0.1:%d \r\nContent-Length: %d\r\n\r\n%s' \
			"$2" "$BACKEND_PORT" "${#3}" "$3"
	fi
}

# expect_forwarded LABEL METHOD PATH QUERY: the backend received exactly this
# request on its first connection.
expect_forwarded() {
	local label=$1 want=$NAS_OUT/want.request
	shift
	forwarded_request "$@" >"$want"
	_expect_same_file "$label" "$(backend_request 1)" "$want"
}

# login_start: the NAS web server (login-lighttpd.conf) with the login service
# and whatever web_install put beside it in its cgi-bin, over HTTP on
# LOGIN_HTTP_PORT and over HTTPS on LOGIN_HTTPS_PORT and 443, with a
# self-signed certificate made now. It takes tunerbay's and epg's settings from
# the installed lighttpd snippet (installing the build when nothing is): its
# breakage log is WEB_BREAKAGE_LOG, its upload folder WEB_UPLOADS.
WEB_LIGHTTPD_SNIPPET=$WEB_ROOT/etc/lighttpd/conf-available/20-dvr-cgi.conf
WEB_BREAKAGE_LOG=/var/log/lighttpd/breakage.log
WEB_UPLOADS=$LOGIN_DIR/uploads
login_start() {
	[[ -e $WEB_LIGHTTPD_SNIPPET ]] || web_install
	mkdir -p "${WEB_BREAKAGE_LOG%/*}" "$WEB_UPLOADS" || _sandbox_die "cannot make the web server's folders"
	openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 2 \
		-keyout "$LOGIN_DIR/cert.pem" -out "$LOGIN_DIR/cert.pem" >"$NAS_LOG/openssl.out" 2>&1 ||
		_sandbox_die "cannot make a certificate: $(cat "$NAS_LOG/openssl.out")"
	LOGIN_DIR=$LOGIN_DIR WEB_CGI_BIN=$WEB_CGI_BIN LOGIN_HTTP_PORT=$LOGIN_HTTP_PORT \
		LOGIN_HTTPS_PORT=$LOGIN_HTTPS_PORT WEB_LIGHTTPD_SNIPPET=$WEB_LIGHTTPD_SNIPPET WEB_UPLOADS=$WEB_UPLOADS lighttpd -f "$STANDIN_DIR/login-lighttpd.conf" >"$NAS_DIR/lighttpd.out" 2>&1 ||
		_sandbox_die "lighttpd does not start: $(cat "$NAS_DIR/lighttpd.out" "$LOGIN_DIR/error.log" 2>/dev/null)"
	if ! _wait_for 250 port_listening "$LOGIN_HTTP_PORT" || ! _wait_for 250 port_listening "$LOGIN_HTTPS_PORT"; then
		_sandbox_die "the login service does not listen"
	fi
}

# web_install: installs the build tree with `cmake --install` into the NAS's
# system under WEB_ROOT (DESTDIR, prefix /usr), so that the web server runs
# tunerbay and epg from its cgi-bin exactly as installed. Its output goes to
# $NAS_DIR/install.out.
web_install() {
	DESTDIR=$WEB_ROOT cmake --install "$DVR_BUILD_DIR" --prefix /usr >"$NAS_DIR/install.out" 2>&1 ||
		_sandbox_die "cmake --install fails: $(cat "$NAS_DIR/install.out")"
	[[ -x $WEB_CGI_BIN/tunerbay && -x $WEB_CGI_BIN/epg ]] ||
		_sandbox_die "cmake --install put no tunerbay and epg into $WEB_CGI_BIN: $(cat "$NAS_DIR/install.out")"
}

# The login service's log lines: "N SCHEME METHOD key=[value]..." per request.
LOGIN_REQUESTS=$LOGIN_DIR/requests.log

# login_misbehave MODE: the login service answers wrongly in this way until the
# next case (the modes are listed in standin/authLogin.cgi).
login_misbehave() {
	printf '%s\n' "$1" >"$LOGIN_DIR/misbehave"
}

# ---------------------------------------------------------------------------
# Requests through a real web server (lighttpd, Apache, the package)

# web METHOD URL [BODY]: one request with curl as a browser sends it (extra
# curl words in WEB_CURL); the status line and header lines go to WEB_HEAD, the
# body to WEB_BODY, curl's exit status to WEB_STATUS.
WEB_N=0
WEB_CURL=()
web() {
	local method=$1 url=$2
	WEB_N=$((WEB_N + 1))
	WEB_HEAD=$NAS_OUT/web.$WEB_N.head
	WEB_BODY=$NAS_OUT/web.$WEB_N.body
	local -a args=(--silent --show-error --http1.1 --max-time 30 -D "$WEB_HEAD" -o "$WEB_BODY" "${WEB_CURL[@]}")
	[[ $url == https:* ]] && args+=(--insecure)
	if [[ $method == POST ]]; then
		args+=(-H 'Content-Type: application/x-www-form-urlencoded' --data-binary "${3-}")
	fi
	curl "${args[@]}" "$url" 2>"$NAS_OUT/web.$WEB_N.err"
	WEB_STATUS=$?
}

# The value of header NAME in WEB_HEAD (CR removed), one line per occurrence.
web_header() {
	awk -v name="$1" 'BEGIN { IGNORECASE = 1 } { sub(/\r$/, "") }
		index(tolower($0), tolower(name) ": ") == 1 { print substr($0, length(name) + 3) }' "$WEB_HEAD"
}

# The web server's error log, shown when a request fails.
WEB_ERROR_LOG=$LOGIN_DIR/error.log

# expect_web_json LABEL DOC: the browser got status 200 (HTTP/1.1, or 1.0 from
# a server that speaks no more), the program's Content-Type and a
# Content-Length of DOC's bytes, each once, and exactly DOC.
# With WEB_CHUNKED_OK=1 a chunked answer without Content-Length passes too.
expect_web_json() {
	local label=$1 doc=$2 status
	status=$(head -n 1 "$WEB_HEAD" 2>/dev/null | tr -d '\r')
	if [[ $WEB_STATUS == 0 && $status =~ ^HTTP/1\.[01]\ 200\ OK$ ]]; then
		t_ok "$label: status 200"
	else
		t_fail "$label: status 200" "curl status $WEB_STATUS, status line '$status'" \
			"$(cat "$NAS_OUT/web.$WEB_N.err" "$WEB_ERROR_LOG" 2>/dev/null | tail -n 5)"
	fi
	check "$label: Content-Type" test "$(web_header Content-Type)" == "application/json; charset=UTF-8"
	if [[ ${WEB_CHUNKED_OK-} == 1 && -z $(web_header Content-Length) ]]; then
		check "$label: chunked" test "$(web_header Transfer-Encoding)" == chunked
	else
		check "$label: Content-Length ${#doc}" test "$(web_header Content-Length)" == "${#doc}"
	fi
	expect_bytes "$label: body" "$WEB_BODY" "${doc//\\/\\\\}"
}

# What a request may start: the CGIs, the tools they run, the login service.
_WEB_STARTED=(tunerbay epg getcfg curl sh dvr.sh python3)

_nothing_started_runs() {
	[[ -z $(programs_running "${_WEB_STARTED[@]}") ]]
}

# The failure lines a log holds, as the programs wrote them: whatever a web
# server puts around a line of a CGI's standard error taken away.
failure_lines() {
	grep -oE '(tunerbay|epg): [a-z_]+(/[a-z_]+)?: .*' "$1" | sed -E 's#: /[^ ]*/(tunerbay|epg)$##'
}

# web_server_rows URL: what every web server that runs the installed programs
# from its cgi-bin at URL (with the login service beside them) must pass: a GET
# and a POST forward (no POST with WEB_NO_POST=1), a self-answered request, a
# failure answered exactly, an answer with exit status 255, epg with a session,
# the transport stream byte for byte, and no process left behind. The failure
# lines of the failed requests, and only those, are in WEB_FAILURE_LOG (none
# is looked for where it is empty).
WEB_FAILURE_LOG=$WEB_BREAKAGE_LOG
web_server_rows() {
	local url=$1 query prog
	local body='{"entries":[{"index":0,"name":"Tuner 0","fr":474000000}],"total_count":1,"result":"success"}'
	[[ -z $WEB_FAILURE_LOG ]] || : >"$WEB_FAILURE_LOG"

	# With the DVR service stopped, tunerbay answers the region list itself,
	# with success: no failure line.
	case_begin "tunerbay's own success answer"
	web GET "$url/cgi-bin/tunerbay?subfunc=region&todo=list"
	expect_web_json "OK answer" '{"result":"success","errcode":0,"errmsg":"OK","total_count":0,"enable_dvr":0}'

	case_begin "epg without a backend"
	web GET "$url/cgi-bin/epg?subfunc=info&todo=list&sid=$GOOD_SID"
	expect_web_json "errcode -2 answer, exactly" "$ERR_SERVER_MISSING"

	case_begin "tunerbay GET"
	backend_start
	json_answer "$body"
	web GET "$url/cgi-bin/tunerbay?subfunc=network&todo=list&sid=x&up=0"
	expect_web_json "backend body" "$body"
	expect_forwarded "forwarded unchanged" GET /xrec/tunerbay.cgi 'subfunc=network&todo=list&sid=x&up=0'

	if [[ ${WEB_NO_POST-} != 1 ]]; then
		case_begin "tunerbay POST"
		backend_start
		json_answer '{"result":"success","errcode":0,"errmsg":"OK"}'
		query='subfunc=network&todo=add&fr=474000000&bw=8000000&cs=QAM64&tm=8k&gi=1%2F4'
		web POST "$url/cgi-bin/tunerbay?$query" 'ignored=1&subfunc=scan'
		expect_web_json "backend body" '{"result":"success","errcode":0,"errmsg":"OK"}'
		expect_forwarded "the query as the form body" POST /xrec/tunerbay.cgi "$query"
	fi

	# The program ends with status 255 here; the browser still gets status 200
	# and the whole answer.
	case_begin "backend answers 404: exit status 255"
	backend_start
	set_answer 'text HTTP/1.1 404 Not Found\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: 2\r\n\r\n{}'
	web GET "$url/cgi-bin/tunerbay?subfunc=region&todo=list"
	expect_web_json "errcode -1 answer" "$ERR_EXPECTATION"
	check "the envelope has 73 bytes" test "$(stat -c %s "$WEB_BODY")" -eq 73
	run_cgi tunerbay GET 'subfunc=region&todo=list'
	expect_answer "the same request run directly" "$ERR_EXPECTATION" 255

	case_begin "epg with a valid session"
	backend_start
	json_answer "$body"
	query="subfunc=info&todo=list&sid=$GOOD_SID&up=0&down=20"
	WEB_CURL=(-H 'Proxy: http://127.0.0.1:3128/')
	web GET "$url/cgi-bin/epg?$query"
	WEB_CURL=()
	expect_web_json "backend body" "$body"
	expect_forwarded "forwarded unchanged" GET /xrec/epg.cgi "$query"
	expect_lines "the session checked by the same web server" "$LOGIN_REQUESTS" "1 http POST sid=[$GOOD_SID] service=[100]"
	check "a Proxy header reaches no started command" lacks '^HTTP_PROXY=' "$NAS_LOG/getcfg.env"

	local bytes=3000000 expected=$NAS_OUT/stream.expected
	"$NAS_DIR/bin/tvheadend" --print-stream "$bytes" >"$expected"
	for prog in tunerbay epg; do
		case_begin "$prog relays a transport stream"
		backend_start
		set_answer "$(printf '%s\n' 'text HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n' 'stream 1880' 'pause 20' \
			'piece 65536' "stream $((bytes - 1880))" close)"
		if [[ $prog == tunerbay ]]; then
			web GET "$url/cgi-bin/tunerbay?subfunc=scan&todo=get&stream=1"
		else
			web GET "$url/cgi-bin/epg?subfunc=info&todo=list_more&stream=1&channel=3&sid=$GOOD_SID"
		fi
		check "status 200" grep -qE '^HTTP/1\.[01] 200 OK.?$' <(head -n 1 "$WEB_HEAD")
		check "Content-Type video/mp2t" test "$(web_header Content-Type)" == video/mp2t
		check "Cache-Control no-cache" test "$(web_header Cache-Control)" == no-cache
		_expect_same_file "the stream byte for byte" "$WEB_BODY" "$expected"
	done

	CASE=''
	if [[ -n $WEB_FAILURE_LOG ]]; then
		failure_lines "$WEB_FAILURE_LOG" >"$NAS_OUT/failure.lines"
		expect_lines "a failure line for each failed request, none for the others" "$NAS_OUT/failure.lines" \
			"epg: info/list: backend process not running" \
			"tunerbay: region/list: backend 127.0.0.1:$BACKEND_PORT: answer status 404"
	fi
	if _wait_for 250 _nothing_started_runs; then
		t_ok "no CGI, tool or daemon left running"
	else
		t_fail "no CGI, tool or daemon left running" "$(programs_running "${_WEB_STARTED[@]}")"
	fi
}

# ---------------------------------------------------------------------------
# Running a CGI program as the web server does

# run_cgi PROGRAM METHOD QUERY [BODY]
# Runs $DVR_PROGRAM_DIR/PROGRAM unchanged (through $DVR_EMULATOR when set) with
# the CGI variables of a request
# (QUERY_STRING unset when RUN_NO_QUERY=1; a POST gets BODY on standard input
# with its CONTENT_TYPE and CONTENT_LENGTH). The request carries a "Proxy:"
# header (HTTP_PROXY), which no started command may inherit.
# Standard output goes through a pipe, as under a web server; afterwards:
#   RUN_OUT, RUN_ERR    files with standard output and standard error
#   RUN_STATUS          exit status
#   RUN_MS              milliseconds from start to exit
#   RUN_EOF_LAG_MS      milliseconds from the program's exit until the reader of
#                       its standard output saw the end (a descriptor leaked to
#                       a started daemon holds it open)
# A case may also set, for one run (e.g. RUN_TIMEOUT=5 run_cgi ...):
#   RUN_ENV=(NAME=VALUE...)  variables added, or put in place of the usual ones
#   RUN_UNSET=(NAME...)      usual variables left out
#   RUN_TIMEOUT              seconds until the program gets SIGTERM (default 60);
#                            a run that timed out has status 124
#   RUN_WRAP=(COMMAND...)    runs "COMMAND... env -i ... PROGRAM" instead, e.g.
#                            to give the program a mount namespace of its own
run_cgi() {
	local program=$1 method=$2 query=$3 body=${4-}
	RUN_N=$((RUN_N + 1))
	local base=$NAS_OUT/run.$RUN_N
	RUN_OUT=$base.out
	RUN_ERR=$base.err
	local -a env=(
		PATH=/usr/sbin:/usr/bin:/sbin:/bin
		GATEWAY_INTERFACE=CGI/1.1
		SERVER_SOFTWARE=lighttpd
		SERVER_NAME=127.0.0.1
		SERVER_PROTOCOL=HTTP/1.1
		"SERVER_PORT=$LOGIN_HTTP_PORT"
		"REQUEST_METHOD=$method"
		"SCRIPT_NAME=/cgi-bin/$program.cgi"
		REMOTE_ADDR=127.0.0.1
		"HTTP_HOST=127.0.0.1:$LOGIN_HTTP_PORT"
		HTTP_USER_AGENT=e2e
		HTTP_ACCEPT='*/*'
		HTTP_COOKIE='NAS_USER=admin'
		HTTP_PROXY=http://127.0.0.1:3128/
	)
	[[ ${RUN_NO_QUERY-} == 1 ]] || env+=("QUERY_STRING=$query")
	if [[ $method == POST ]]; then
		env+=(CONTENT_TYPE=application/x-www-form-urlencoded "CONTENT_LENGTH=${#body}")
	fi
	local -a kept=()
	local kv name
	for kv in "${env[@]}"; do
		for name in "${RUN_UNSET[@]}" "${RUN_ENV[@]%%=*}"; do
			[[ ${kv%%=*} == "$name" ]] && continue 2
		done
		kept+=("$kv")
	done
	env=("${kept[@]}" "${RUN_ENV[@]}")
	printf '%s' "$body" >"$base.in"
	local -a emulator=()
	read -ra emulator <<<"${DVR_EMULATOR-}"
	local start
	start=$(date +%s%N)
	(
		cd "$NAS_OUT" || exit 1
		timeout -k 2 "${RUN_TIMEOUT-60}" "${RUN_WRAP[@]}" env -i "${env[@]}" "${emulator[@]}" \
			"${DVR_PROGRAM_DIR:-$DVR_BUILD_DIR}/$program" \
			<"$base.in" 2>"$RUN_ERR"
		echo $? >"$base.status"
		date +%s%N >"$base.exit"
	) | {
		# The reader outlives the run; a descriptor held past its end shows as lag.
		timeout "$((${RUN_TIMEOUT-60} + 8))" cat >"$RUN_OUT"
		date +%s%N >"$base.eof"
	}
	RUN_STATUS=$(cat "$base.status")
	RUN_MS=$((($(cat "$base.exit") - start) / 1000000))
	RUN_EOF_LAG_MS=$((($(cat "$base.eof") - $(cat "$base.exit")) / 1000000))
}

# proc_name PID VAR: sets VAR to the name /proc gives the process (its comm);
# fails when the process is gone. A program run through DVR_EMULATOR carries
# the emulator's name there, so it is named after the program it emulates.
# Its own variable has a name no caller uses, or it would hide the caller's.
proc_name() {
	local _pn_comm
	read -r _pn_comm 2>/dev/null <"/proc/$1/comm" || return 1
	if [[ -n ${DVR_EMULATOR-} ]]; then
		local -a emulator args
		read -ra emulator <<<"$DVR_EMULATOR"
		local emulator_comm=${emulator[0]##*/}
		if [[ $_pn_comm == "${emulator_comm:0:15}" ]] && mapfile -d '' -t args 2>/dev/null <"/proc/$1/cmdline"; then
			_pn_comm=${args[${#emulator[@]}]-$_pn_comm}
			_pn_comm=${_pn_comm##*/}
			_pn_comm=${_pn_comm:0:15}
		fi
	fi
	printf -v "$2" '%s' "$_pn_comm"
}

# watchdog_install [PROGRAM]: the watchdog where its init script runs it.
watchdog_install() {
	install -m 0755 "${1:-$DVR_BUILD_DIR/dongle_watchdog}" /usr/sbin/dongle_watchdog
}

# programs_running NAME...: " PID:NAME" for each running process of these names.
# pid_ns_members NS [--other]: the ids of the processes in pid namespace NS (as
# readlink /proc/PID/ns/pid prints it), or with --other in any namespace but NS.
pid_ns_members() {
	local p ns
	for p in /proc/[0-9]*; do
		ns=$(readlink "$p/ns/pid" 2>/dev/null) || continue
		if [[ ${2-} == --other ]]; then [[ $ns != "$1" ]]; else [[ $ns == "$1" ]]; fi && printf ' %s' "${p#/proc/}"
	done
	# A listing, not a test: under set -e (the benchmark) a last entry that did
	# not match must not end the caller.
	return 0
}

programs_running() {
	local p comm name
	for p in /proc/[0-9]*; do
		proc_name "${p#/proc/}" comm || continue
		for name; do [[ $comm == "$name" ]] && printf ' %s:%s' "${p#/proc/}" "$comm"; done
	done
	echo
}

# Every name a program could leave behind: all of /tmp but the places where the
# sandbox itself keeps logs, requests and answers and the programs' hints (one
# per user id), and /dev/shm, /etc/config and /etc/init.d.
leftover_listing() {
	find /tmp /dev/shm /etc/config /etc/init.d -xdev \( -path "$NAS_OUT" -o -path "$NAS_LOG" \
		-o -path "$BACKEND_DIR" -o -path "$LOGIN_DIR" -o -path "$NAS_DIR/.layers/*/work" -o -regex "$PROC_HINT\.[0-9]+" \) -prune -o -print |
		sort
}

# expect_nothing_left LABEL BEFORE: leftover_listing shows no name that the
# file BEFORE (an earlier listing) lacks.
expect_nothing_left() {
	local new
	new=$(leftover_listing | comm -13 "$2" -)
	if [[ -z $new ]]; then t_ok "$1"; else t_fail "$1" "new:" "$new"; fi
}

# expect_no_mark LABEL: the mark of a hostile command is absent.
expect_no_mark() {
	if [[ -e $HOSTILE_MARK ]]; then t_fail "$1" "$HOSTILE_MARK exists"; else t_ok "$1"; fi
}

# What a NAS firmware's web server has in its environment beside PATH, which
# every command a program starts keeps; and request variables beyond those
# run_cgi sets, which none gets. A case passes both to run_cgi in RUN_ENV.
FIRMWARE_ENV=(LD_LIBRARY_PATH=/opt/nas/lib TZ=CET-1CEST,M3.5.0,M10.5.0/3 LANG=en_US.UTF-8 HOME=/share/homes/admin)
MORE_REQUEST_ENV=(REQUEST_URI=/cgi-bin/x PATH_INFO=/p PATH_TRANSLATED=/www/p SCRIPT_FILENAME=/www/cgi-bin/x
	AUTH_TYPE=Basic DOCUMENT_ROOT=/www DOCUMENT_URI=/cgi-bin/x REDIRECT_STATUS=200 HTTPS=on REMOTE_USER=admin
	SERVER_ADDR=127.0.0.1)

# expect_clean_child_context LABEL LOG_PREFIX SCRIPT OUT [ERR]: a command that
# a program started (it recorded LOG_PREFIX.env and LOG_PREFIX.fd) got the
# web server's environment less the request: exactly run_cgi's PATH and
# FIRMWARE_ENV when the run had them; standard input from /dev/null, standard
# output into OUT (a file, or "pipe"), standard error into ERR (default: the
# program's standard error), and no other descriptor than the one of its own
# SCRIPT.
expect_clean_child_context() {
	local label=$1 prefix=$2 script=$3 out=$4 err=${5-$RUN_ERR}
	script=$(readlink -f "$script")
	local envs want
	envs=$(grep -v -e '^PWD=' -e '^SHLVL=' -e '^_=' -e '^OLDPWD=' "$prefix.env" 2>/dev/null | sort)
	want=$(printf '%s\n' PATH=/usr/sbin:/usr/bin:/sbin:/bin "${FIRMWARE_ENV[@]}" | sort)
	if [[ $envs == "$want" ]]; then
		t_ok "$label: the web server's environment, nothing of the request"
	else
		t_fail "$label: the web server's environment, nothing of the request" "expected:" "$want" "got:" "$envs"
	fi
	local bad='' fd target
	while read -r fd target; do
		case $fd in
		0) [[ $target == /dev/null ]] || bad+=" $fd->$target" ;;
		1) [[ $target == "$out" || ($out == pipe && $target == pipe:*) ]] || bad+=" $fd->$target" ;;
		2) [[ $target == "$err" ]] || bad+=" $fd->$target" ;;
		*) [[ $target == "$script" ]] || bad+=" $fd->$target" ;;
		esac
	done < <(awk '$(NF-1) == "->" { print $(NF-2), $NF }' "$prefix.fd" 2>/dev/null)
	if [[ -s $prefix.fd && -z $bad ]]; then
		t_ok "$label: descriptors 0-2 only"
	else
		t_fail "$label: descriptors 0-2 only" "unexpected:$bad" "$(cat "$prefix.fd" 2>/dev/null)"
	fi
}
