#!/usr/bin/env bash
# The demo NAS: installs what is missing, builds the release preset, and runs a
# small NAS in private namespaces (sandbox/sandbox.sh): lighttpd
# with tunerbay and epg installed by `cmake --install` beside the login service,
# the backend stand-in answering from demo data (a DVB-T tuner setup, eight
# channels, a programme guide that rolls with the clock, a short live stream), and the dongle
# watchdog over two plugged-in tuners (demo/nas.sh). The web server is reachable
# from this machine at a printed http://127.0.0.1:PORT/ address, where the DVR
# panel (demo/panel) shows tuners, scan, guide and recordings in a browser; the
# backend keeps what it changes. A tour of real requests follows, each as a curl command line with its answer; then the demo serves
# until Ctrl-C, which ends everything and leaves nothing behind.
#
# Usage: scripts/demo.sh [--once] [--port PORT] [--build-dir DIR]
#   --once           run the tour and end; the exit status is 0 only when every
#                    request was answered as it should be
#   --port PORT      the host port (default 8080, or a free one when it is taken)
#   --build-dir DIR  use this build tree as it is instead of building the
#                    release preset
# Needs root (namespaces, mounts, apt-get).

DEMO_SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEMO_STREAM_BYTES=$((188 * 10000))

usage() {
	sed -n 's/^# \{0,1\}//; /^Usage:/,/^Needs root/p' "${BASH_SOURCE[0]}" >&2
	exit 2
}

DEMO_ARGS=("$@")
DEMO_ONCE=0
DEMO_PORT=8080
DEMO_ANY_PORT=--any-port
DEMO_BUILD_DIR=''
while (($# > 0)); do
	case $1 in
	--once) DEMO_ONCE=1 ;;
	--port)
		if ! [[ ${2-} =~ ^[0-9]+$ ]] || (($2 < 1 || $2 > 65535)); then usage; fi
		DEMO_PORT=$2
		DEMO_ANY_PORT=''
		shift
		;;
	--build-dir)
		[[ -n ${2-} ]] || usage
		DEMO_BUILD_DIR=$2
		shift
		;;
	*) usage ;;
	esac
	shift
done

# ---------------------------------------------------------------------------
# On the host, before the sandbox: tools, build, demo data.

if [[ ${DVR_SANDBOX_INSIDE-} != 1 ]]; then
	[[ $EUID -eq 0 ]] || { echo "demo.sh: run it as root (namespaces, mounts, apt-get)" >&2; exit 1; }
	cd "$DEMO_SOURCE" || exit 1
	scripts/deps.sh || exit 1
	if [[ -z $DEMO_BUILD_DIR ]]; then
		echo "== Building (release preset)"
		mkdir -p build
		if ! { cmake --preset release && cmake --build --preset release -j "$(nproc)"; } >build/demo-build.log 2>&1; then
			tail -n 30 build/demo-build.log
			echo "demo.sh: the build failed (build/demo-build.log)" >&2
			exit 1
		fi
		DEMO_BUILD_DIR=$DEMO_SOURCE/build/release
	fi
	DVR_BUILD_DIR=$(cd "$DEMO_BUILD_DIR" && pwd) || exit 1
	export DVR_BUILD_DIR

	# A private directory shared with the sandbox: demo data, logs, the marks
	# that say "ready" and "stop". Removed when the demo ends; once the sandbox
	# runs, sandbox_enter runs this trap only after it has ended the sandbox,
	# however the demo ends, so nothing writes into the directory any more.
	DEMO_SHARE=$(mktemp -d /tmp/dvr-demo.XXXXXX) || exit 1
	DEMO_FORWARDER=''
	# shellcheck disable=SC2317 # run by the trap
	demo_cleanup() {
		[[ -n $DEMO_FORWARDER ]] && kill "$DEMO_FORWARDER" 2>/dev/null && wait "$DEMO_FORWARDER"
		rm -rf "$DEMO_SHARE"
	}
	trap demo_cleanup EXIT
	export DVR_SANDBOX_SHARE=$DEMO_SHARE
	DEMO_SID=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
	export DEMO_SID
	mkdir -p "$DEMO_SHARE/log" || exit 1
	if ! {
		/usr/bin/python3 demo/make_data.py --out "$DEMO_SHARE/routes" --stream-bytes "$DEMO_STREAM_BYTES" &&
			"$DVR_BUILD_DIR/sandbox/tvheadend" --print-stream "$DEMO_STREAM_BYTES" >"$DEMO_SHARE/stream.expected"
	}; then
		echo "demo.sh: cannot make the demo data" >&2
		exit 1
	fi
fi

# shellcheck source=sandbox/sandbox.sh
source "$DEMO_SOURCE/sandbox/sandbox.sh"

# ---------------------------------------------------------------------------
# On the host, beside the sandbox: the forwarder, the tour, serving.

# demo_wait_for SECONDS PID FILE: waits until FILE exists while PID lives.
demo_wait_for() {
	local tries=$(($1 * 10))
	while [[ ! -e $3 ]]; do
		kill -0 "$2" 2>/dev/null && ((tries-- > 0)) || return 1
		sleep 0.1
	done
}

sandbox_beside() {
	local upid=$1 status=0
	DEMO_STOP=''
	trap 'DEMO_STOP=1' INT TERM HUP
	if ! demo_wait_for 120 "$upid" "$DEMO_SHARE/ready"; then
		echo "demo.sh: the demo NAS did not come up:"
		tail -n 20 "$DEMO_SHARE/log/sandbox.log" 2>/dev/null
		touch "$DEMO_SHARE/stop"
		return 1
	fi
	# shellcheck disable=SC2086 # DEMO_ANY_PORT is one word or none
	/usr/bin/python3 "$DEMO_SOURCE/demo/forward.py" --netns "/proc/$upid/ns/net" --to "$LOGIN_HTTP_PORT" \
		--port "$DEMO_PORT" $DEMO_ANY_PORT --port-file "$DEMO_SHARE/port" &
	DEMO_FORWARDER=$!
	if ! demo_wait_for 20 "$DEMO_FORWARDER" "$DEMO_SHARE/port"; then
		echo "demo.sh: cannot listen on 127.0.0.1:$DEMO_PORT"
		touch "$DEMO_SHARE/stop"
		return 1
	fi
	local url
	url=http://127.0.0.1:$(cat "$DEMO_SHARE/port")
	cat <<EOF

== DVR panel: $url/?sid=$DEMO_SID
   Web server: lighttpd at $url/ with the panel (demo/panel); under /cgi-bin/ tunerbay and epg
               as cmake --install put them, and the NAS login service. Session id: $DEMO_SID
   Backend:    the stand-in tvheadend on 127.0.0.1:9981 inside the NAS, answering from demo data:
               two DVB-T tuners, four multiplexes, eight channels, a programme guide of the days around now;
               it keeps what the panel changes (recordings, tuner options, scans).
   Watchdog:   dongle_watchdog over tuners 0 and 1; log $DEMO_SHARE/log/dongle_watchdog.log

== Tour
EOF
	/usr/bin/python3 "$DEMO_SOURCE/demo/tour.py" --url "$url" --sid "$DEMO_SID" --data "$DEMO_SHARE/routes" \
		--stream-expected "$DEMO_SHARE/stream.expected" --watchdog-log "$DEMO_SHARE/log/dongle_watchdog.log" ||
		status=1
	if ((DEMO_ONCE == 0 && status == 0)) && [[ -z $DEMO_STOP ]]; then
		echo
		echo "== Serving the DVR panel at $url/?sid=$DEMO_SID (the curl lines above work as they are)."
		echo "   Ctrl-C ends the demo."
		while [[ -z $DEMO_STOP ]] && kill -0 "$upid" 2>/dev/null && kill -0 "$DEMO_FORWARDER" 2>/dev/null; do
			sleep 1
		done
		[[ -n $DEMO_STOP ]] || { echo "demo.sh: the demo NAS ended by itself"; status=1; }
		echo
	fi
	kill "$DEMO_FORWARDER" 2>/dev/null
	wait "$DEMO_FORWARDER" 2>/dev/null
	DEMO_FORWARDER=''
	touch "$DEMO_SHARE/stop"
	echo "== Ending the demo NAS"
	return "$status"
}

sandbox_enter "$DEMO_SOURCE/scripts/demo.sh" "${DEMO_ARGS[@]}"

# ---------------------------------------------------------------------------
# Inside the sandbox: the NAS.

exec >"$NAS_SHARE/log/sandbox.log" 2>&1
# shellcheck source=demo/nas.sh
source "$DEMO_SOURCE/demo/nas.sh"
demo_nas_start "$NAS_SHARE/routes" "$DEMO_SID" "$NAS_SHARE/log"
touch "$NAS_SHARE/ready"
until [[ -e $NAS_SHARE/stop ]]; do
	sleep 0.2
done
demo_nas_stop
sandbox_finish
