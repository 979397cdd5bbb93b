#!/bin/sh
# Stand-in for the NAS's DVR service script: "start" brings the backend
# stand-in up as a background daemon, "stop" ends it. Like a real init script
# it talks on its standard output, and the daemon it starts keeps every
# descriptor it inherited: whatever the caller leaks into this script stays held
# for as long as the backend runs.
# The programs start the script with the web server's environment, which holds
# nothing of the sandbox's, so everything lives in the sandbox's fixed place.
NAS_DIR=/tmp/nas
LOG_DIR=$NAS_DIR/log
BACKEND_DIR=$NAS_DIR/backend

log() {
	printf '%s\n' "$*" >>"$LOG_DIR/dvr.log"
}

# What the script inherited from its caller.
record_context() {
	env >"$LOG_DIR/dvr.env"
	# find writes the list itself: a shell redirection would show up in it.
	find "/proc/$$/fd" -mindepth 1 -fprintf "$LOG_DIR/dvr.fd" '%f -> %l\n'
}

case $1 in
start)
	log start
	record_context
	echo "Starting DVR service"
	# A test can keep the backend from coming up (dvr.nostart) or give it
	# extra words (dvr.args, one per line).
	if [ ! -e "$NAS_DIR/dvr.nostart" ]; then
		set --
		if [ -r "$NAS_DIR/dvr.args" ]; then
			while IFS= read -r word; do
				set -- "$@" "$word"
			done <"$NAS_DIR/dvr.args"
		fi
		"$NAS_DIR/bin/tvheadend" --dir "$BACKEND_DIR" "$@" &
	fi
	# dvr.slow: a start that takes its time, and says when it has finished.
	if [ -e "$NAS_DIR/dvr.slow" ]; then
		sleep 2
		log "start finished"
	fi
	# dvr.hang: a start that never ends by itself.
	if [ -e "$NAS_DIR/dvr.hang" ]; then
		while :; do sleep 1; done
	fi
	;;
stop)
	log stop
	record_context
	echo "Stopping DVR service"
	if [ -r "$BACKEND_DIR/pid" ]; then
		pid=$(cat "$BACKEND_DIR/pid")
		case $pid in
		'' | *[!0-9]*) ;;
		*) kill "$pid" 2>/dev/null ;;
		esac
	fi
	;;
*)
	echo "Usage: $0 {start|stop}" >&2
	exit 1
	;;
esac
exit 0
