#!/usr/bin/env bash
# The benchmark: every request path of the shipped programs next to the floor
# (a static C program that only writes the same answer, after the same socket
# exchanges for a forward) and the peer (a shell CGI forwarding with curl), the
# stream relay next to the best copy, memory and sizes, as one table.
#
#   bench/run.sh [--smoke] [--runs N] [--relay-mib N] [--relay-rounds N] [--procs N]
#                [--build-dir DIR]
#
# Builds the release preset (or takes the programs of --build-dir) and runs in
# the sandboxed NAS (sandbox/sandbox.sh), against its compiled backend
# stand-in (answering by route files, recording nothing), a login service
# answered by the same program, and the compiled configuration-tool stand-in, so
# that none of them is what is measured. --smoke is a short run for CI: it fails on a wrong answer or on
# a missed target that does not depend on timing. --procs N starts N idle
# processes before the backend, as a NAS has its kernel threads and early daemons
# listed in /proc ahead of it. With fewer than 250 the rows of the requests that
# check for the backend follow once more with 250 ahead of it, a busy NAS's
# count: what the check costs there shows beside the floor. Needs root.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SOURCE_DIR=$(cd "$BENCH_DIR/.." && pwd)

runs=300
relay_mib=1024
relay_rounds=5
procs=0
build_dir=
while (($#)); do
	case $1 in
	--smoke) runs=60 relay_mib=64 relay_rounds=3 ;;
	--runs) runs=$2; shift ;;
	--relay-mib) relay_mib=$2; shift ;;
	--relay-rounds) relay_rounds=$2; shift ;;
	--procs) procs=$2; shift ;;
	--build-dir) build_dir=$2; shift ;;
	*)
		echo "usage: bench/run.sh [--smoke] [--runs N] [--relay-mib N] [--relay-rounds N] [--procs N] [--build-dir DIR]" >&2
		exit 2
		;;
	esac
	shift
done

if [[ ${DVR_SANDBOX_INSIDE-} != 1 ]]; then
	cd "$SOURCE_DIR"
	if [[ -z $build_dir ]]; then
		scripts/deps.sh
		cmake --preset release >/dev/null
		cmake --build --preset release -j "$(nproc)" >/dev/null
		build_dir=build/release
	fi
	DVR_BUILD_DIR=$(cd "$build_dir" && pwd)
	export DVR_BUILD_DIR
fi
# shellcheck source=sandbox/sandbox.sh
source "$SOURCE_DIR/sandbox/sandbox.sh"
sandbox_enter "$BENCH_DIR/run.sh" --runs "$runs" --relay-mib "$relay_mib" --relay-rounds "$relay_rounds" \
	--procs "$procs" --build-dir "$DVR_BUILD_DIR"
# Inside the sandbox from here on.

DATA=$NAS_DIR/bench
ROUTES=$DATA/routes
LOGIN=$DATA/login
mkdir -p "$ROUTES" "$LOGIN"

# The backend's answers: a tuner list of about 2 KiB, a network-add result, a
# page of guide, and the stream.
{
	printf '{"entries": ['
	for ((i = 0; i < 12; i++)); do
		((i)) && printf ', '
		printf '{"uuid": "%032x", "name": "DVB-T adapter #%d", "type": "DVB-T", "enabled": true, "signal": %d}' \
			$((0x5eed0000 + i)) "$i" $((60 + i))
	done
	printf '], "total_count": 12, "result": "success", "errcode": 0, "errmsg": "OK"}'
} >"$DATA/info.json"
printf '{"result": "success", "errcode": 0, "errmsg": "OK", "uuid": "7e1f0c2a9b3d4e5f8a6b7c8d9e0f1a2b"}' >"$DATA/add.json"
{
	printf '{"entries": ['
	for ((i = 0; i < 8; i++)); do
		((i)) && printf ', '
		printf '{"eventId": %d, "channelName": "Channel %d", "title": "Evening programme %d", "start": %d, "stop": %d}' \
			$((4000 + i)) $((i % 4 + 1)) "$i" $((1765000000 + i * 1800)) $((1765001800 + i * 1800))
	done
	printf '], "totalCount": 8}'
} >"$DATA/epg.json"
printf 'json %s\n' "$DATA/info.json" >"$ROUTES/tunerbay.info.list"
printf 'json %s\n' "$DATA/add.json" >"$ROUTES/tunerbay.network.add"
printf 'json %s\n' "$DATA/epg.json" >"$ROUTES/epg.info.list"
printf '%s\n' 'text HTTP/1.1 200 OK\r\nServer: backend\r\nContent-Type: video/mp2t\r\nConnection: Close\r\n\r\n' \
	"stream $((relay_mib * 1048576))" close >"$ROUTES/tunerbay.scan.get"

# The login service confirms the benchmark's session, as the suite's login
# service answers a known one.
login_doc=$(printf '<?xml version="1.0" encoding="UTF-8"?>\n<authResult>\n<authPassed><![CDATA[1]]></authPassed>\n<username><![CDATA[admin]]></username>\n<isAdmin><![CDATA[1]]></isAdmin>\n</authResult>\n.')
login_doc=${login_doc%.}
printf 'HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s' \
	"${#login_doc}" "$login_doc" >"$LOGIN/login.http"
printf 'raw %s\n' "$LOGIN/login.http" >"$LOGIN/answer"
nas_config "System/Web Access Port=$LOGIN_HTTP_PORT" "System/Force SSL=0" "Stunnel/port=$LOGIN_HTTPS_PORT"

for ((i = 0; i < procs; i++)); do
	sleep 1000000 &
done
backend_start --routes "$ROUTES" --quiet || exit 1
"$NAS_DIR/bin/tvheadend" --dir "$LOGIN" --port "$LOGIN_HTTP_PORT" --quiet >>"$NAS_LOG/login.out" 2>&1 &
_wait_for 250 port_listening "$LOGIN_HTTP_PORT" || _sandbox_die "the login stand-in does not listen"

listed=(/proc/[0-9]*)
echo "# ${#listed[@]} processes listed in /proc, $procs idle ones before the backend"
status=0
bench=("$DVR_BUILD_DIR/bench/dvr_bench" --programs "$DVR_BUILD_DIR" --floor "$DVR_BUILD_DIR/bench/floor"
	--peers "$BENCH_DIR/peer" --data "$DATA" --runs "$runs" --relay-mib "$relay_mib"
	--relay-rounds "$relay_rounds" --login-port "$LOGIN_HTTP_PORT")
"${bench[@]}" || status=$?
busy=250
if ((procs < busy)); then
	for ((i = procs; i < busy; i++)); do
		sleep 1000000 &
	done
	# Started again, the backend is listed after them.
	backend_start --routes "$ROUTES" --quiet || exit 1
	"${bench[@]}" --busy "$busy" || status=$?
fi
_T_FINISHED=1 # the driver reports for itself
exit "$status"
