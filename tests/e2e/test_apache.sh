#!/bin/bash
# Behind Apache httpd with mod_cgid, the other web server NAS firmware ships:
# tunerbay and epg installed by `cmake --install` into the sandboxed NAS's
# system and run from its cgi-bin beside the login service, on the "Web Access
# Port" of the sandbox's own loopback. The same requests as behind lighttpd
# (web_server_rows): forwards, the exit-255 answer, epg's session check through
# this server, the stream byte for byte, and nothing left running.
#
# By hand: DVR_BUILD_DIR=build/release bash tests/e2e/test_apache.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../sandbox/sandbox.sh"
sandbox_enter "$0" "$@"

command -v apache2 >/dev/null || _sandbox_die "missing tool: apache2 (scripts/deps.sh installs apache2-bin)"
# Apache runs its CGIs as www-data: the logs and the login service's files
# that they write are open to it.
umask 000
chmod 1777 "$NAS_LOG" "$LOGIN_DIR" || _sandbox_die "cannot open the log directories"
web_install
APACHE_DIR=$NAS_DIR/apache
mkdir -p "$APACHE_DIR"
WEB_ERROR_LOG=$APACHE_DIR/error.log
WEB_FAILURE_LOG=$WEB_ERROR_LOG
APACHE_DIR=$APACHE_DIR LOGIN_DIR=$LOGIN_DIR WEB_ROOT=$WEB_ROOT WEB_CGI_BIN=$WEB_CGI_BIN LOGIN_HTTP_PORT=$LOGIN_HTTP_PORT \
	apache2 -f "$STANDIN_DIR/login-apache.conf" -k start >"$APACHE_DIR/start.out" 2>&1 ||
	_sandbox_die "apache2 does not start: $(cat "$APACHE_DIR/start.out" "$WEB_ERROR_LOG" 2>/dev/null)"
_wait_for 250 port_listening "$LOGIN_HTTP_PORT" || _sandbox_die "apache2 does not listen: $(cat "$WEB_ERROR_LOG")"

# Apache counts a CGI's answer itself: with the whole answer at hand it sends
# its own Content-Length, otherwise it sends the answer chunked.
WEB_CHUNKED_OK=1
web_server_rows "http://127.0.0.1:$LOGIN_HTTP_PORT"
sandbox_finish
