#!/bin/bash
# Behind the web servers of small firmware, from Debian's packages: busybox
# httpd in the foreground, as an embedded init runs it, and mini_httpd, of the
# thttpd family, which gives a CGI one pipe for both of its outputs. Each runs
# tunerbay and epg from the installed cgi-bin on a loopback port of its own,
# beside the login service (lighttpd), and passes the rows every web server
# passes (web_server_rows). busybox httpd hands a CGI's standard error on to its
# own, where the failure lines must be; under mini_httpd they would become part
# of the answer, so the programs write none there and every answer is exact.
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_embedded_servers.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"

for tool in busybox mini_httpd; do
	command -v "$tool" >/dev/null || _sandbox_die "missing tool: $tool (scripts/deps.sh installs it)"
done
login_start
BUSYBOX_PORT=8081
MINI_HTTPD_PORT=8082
# Both serve /cgi-bin/ from the cgi-bin of the directory they are given.
busybox httpd -f -p "127.0.0.1:$BUSYBOX_PORT" -h "$WEB_ROOT/usr/lib" 2>"$NAS_DIR/busybox.err" &
mini_httpd -D -h 127.0.0.1 -p "$MINI_HTTPD_PORT" -d "$WEB_ROOT/usr/lib" -c 'cgi-bin/*' -u root \
	-l "$NAS_DIR/mini_httpd.log" 2>"$NAS_DIR/mini_httpd.err" &
for port in "$BUSYBOX_PORT" "$MINI_HTTPD_PORT"; do
	_wait_for 250 port_listening "$port" || _sandbox_die "no web server on $port: $(cat "$NAS_DIR"/*.err)"
done

echo "# busybox httpd"
WEB_FAILURE_LOG=$NAS_DIR/busybox.err
web_server_rows "http://127.0.0.1:$BUSYBOX_PORT"

# mini_httpd's own POST handling gives a CGI no body and no answer (a shell CGI
# gets none either): GET only.
echo "# mini_httpd"
WEB_FAILURE_LOG=''
WEB_NO_POST=1
web_server_rows "http://127.0.0.1:$MINI_HTTPD_PORT"
sandbox_finish
