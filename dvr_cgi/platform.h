// Fixed addresses, paths, commands and limits of the NAS platform.
// Everything the programs take from the machine is named here and nowhere else.
#ifndef DVR_CGI_PLATFORM_H
#define DVR_CGI_PLATFORM_H

#include <stddef.h>

// The TV backend: one process, one loopback port, one private API prefix.
#define DVR_BACKEND_NAME "tvheadend"
#define DVR_BACKEND_IP "127.0.0.1"
#define DVR_BACKEND_PORT 9981
#define DVR_TUNERBAY_PATH "/xrec/tunerbay.cgi"
#define DVR_EPG_PATH "/xrec/epg.cgi"

// The DVR service script and how long the backend gets to come up after "start".
#define DVR_SERVICE_SCRIPT "/etc/init.d/dvr.sh"
#define DVR_SERVICE_START_WAIT_SEC 5

// NAS configuration and tools used by the session check.
#define NAS_GETCFG_TOOL "/sbin/getcfg"
#define NAS_CURL_TOOL "/sbin/curl"
#define NAS_CONFIG_FILE "/etc/config/Moravel.conf"
#define NAS_LOGIN_IP "127.0.0.1"
#define NAS_LOGIN_PATH "/cgi-bin/authLogin.cgi"

// The environment of every command we start is the web server's, less the
// variables that carry the request (a client's "Proxy:" header arrives as
// HTTP_PROXY): a name with its '=' is that one variable, a name ending in '_'
// every variable it begins. The rest passes: a firmware's library path
// (without which its tools may not load), time zone (which the backend that
// the service script starts keeps), language and home.
#define DVR_REQUEST_ENV                                                                                      \
    "QUERY_STRING=", "REQUEST_METHOD=", "REQUEST_URI=", "CONTENT_TYPE=", "CONTENT_LENGTH=", "PATH_INFO=",    \
        "PATH_TRANSLATED=", "SCRIPT_NAME=", "SCRIPT_FILENAME=", "AUTH_TYPE=", "GATEWAY_INTERFACE=",          \
        "DOCUMENT_ROOT=", "DOCUMENT_URI=", "HTTPS=", "REMOTE_", "SERVER_", "REDIRECT_", "HTTP_"
// The search path of a command where the web server's environment has none.
#define DVR_CHILD_PATH_ENV "PATH=/sbin:/usr/sbin:/bin:/usr/bin"

// Process lookup.
#define DVR_PROC_ROOT "/proc"
// The id of the backend process found last, so that a check need not walk every
// process ahead of it; beside the scratch files, in the one directory we write.
// One per user id (the name gets ".<uid>"): a hint left by another user, which
// the sticky /tmp would not let us replace, is never in the way.
#define DVR_PROC_HINT_FILE "/tmp/dvrproc.hint"
// Readable by all: the hint is never trusted, only checked.
#define DVR_PROC_HINT_MODE 0644

// Scratch file name of a run, formatted with the process id in hex.
#define DVR_SCRATCH_FILE_FMT "/tmp/dvrxmltmp%x.xml"

// Limits of the CGI request and answer, each with the reason for its value.
enum {
    // The web interface's scratch name buffer; "/tmp/dvrxmltmp" + 8 hex + ".xml" fits easily.
    DVR_SCRATCH_NAME_SIZE = 100,
    // A failure envelope is at most a few dozen bytes; the buffer leaves room for any errmsg.
    DVR_ERR_DOC_SIZE = 2048,
    // A POST body is never used; it is consumed with one bounded read, never sized by the client.
    CGI_BODY_DRAIN_SIZE = 4096,
    // A failure line in the web server's log, with its newline: a log line
    // that the usual log tools show whole.
    DVR_FAILURE_LINE_MAX = 200,
};

// Limits of the HTTP exchanges.
enum {
    // Status line and header block of a backend answer must arrive within this first block.
    HTTP_FIRST_BLOCK_SIZE = 1024,
    // The request buffer that fits every request the web interface usually sends; longer
    // requests get a heap buffer of their own, so a long "entries" list is never cut.
    HTTP_REQUEST_BUF_SIZE = 1024,
    // One receive of the rest of a JSON body.
    HTTP_BODY_PIECE_SIZE = 1024,
    // The largest answer body kept in memory: far above any real guide list, and a
    // bound on what a backend's Content-Length or chunk sizes can make us hold.
    HTTP_BODY_MAX_SIZE = 32 * 1024 * 1024,
    // The longest chunk-size line with its extensions: every chunk must carry data
    // within this many bytes, so a coding that brings none is given up, not read on.
    HTTP_CHUNK_LINE_MAX = 4096,
    // All trailer lines of a chunked answer together; nothing of them is used.
    HTTP_CHUNK_TRAILER_MAX = 4096,
};

// Limits of the stream relay.
enum {
    // One receive of a relayed transport stream: 1024 TS packets of 188 bytes.
    HTTP_RELAY_PIECE_SIZE = 192512,
    // What one splice of the relay asks for; the kernel moves what the pipe
    // takes. Asking for less than the pipe could hold makes more calls.
    HTTP_RELAY_SPLICE_SIZE = 1 << 20,
};

// Limits of the session check.
enum {
    // First output line of the configuration tool that is read (15 characters and a NUL).
    NAS_SETTING_BUF_SIZE = 16,
    // Form text sent to the login service: "sid=...&service=100\n" and its NUL.
    NAS_LOGIN_BODY_SIZE = 256,
    // The part of the transfer tool's answer that is searched for the user name.
    NAS_CURL_ANSWER_SIZE = 1024,
    // The caller's user name buffer; a longer name is refused, never cut.
    NAS_USERNAME_SIZE = 128,
};

// Limits of the process lookup and the watchdog.
enum {
    // Path buffers of the /proc scan and of the watchdog.
    DVR_PATH_BUF_SIZE = 1024,
    // A /proc entry name that the lookup remembers: a process id has at most 10 digits.
    DVR_PROC_ENTRY_SIZE = 16,
    // The start of a status file that holds its "Name:" and "Tgid:" lines; the
    // name is at most 15 characters, each shown as at most 4 bytes.
    DVR_PROC_STATUS_HEAD_SIZE = 256,
};

// Time limits, each the longest silence tolerated from a peer. A backend hung
// on a failing tuner, or a login service that never answers, must not keep a
// CGI alive: the web interface polls every few seconds and would pile them up.
// Connect, each send and each receive, to the backend and the login service;
// also curl's whole run. A healthy local peer answers in milliseconds, a busy
// NAS well within a few seconds.
#define HTTP_SILENCE_LIMIT_SEC 15
// A relayed stream with no byte for this long has lost its source (a tuner
// without signal); a stream that keeps flowing is never cut.
#define HTTP_RELAY_SILENCE_LIMIT_SEC 30
// A whole exchange, from connect to the last byte of a JSON answer (or of the
// login service's), however its bytes trickle in: each wait stays within the
// silence limit, and all of them together within this. The largest guide list
// takes well under a second from a healthy backend. A stream has no total.
#define HTTP_EXCHANGE_DEADLINE_SEC 60
// One run of the configuration tool. It reads a local file; a run that takes
// longer is hung and is ended, which counts as the tool failing.
#define NAS_GETCFG_DEADLINE_SEC 10
#define DVR_STRINGIFY_(x) #x
#define DVR_STRINGIFY(x) DVR_STRINGIFY_(x)
// curl's time limit, as the text of its command line.
#define NAS_CURL_MAX_TIME DVR_STRINGIFY(HTTP_SILENCE_LIMIT_SEC)
// curl ends itself at its --max-time; one still running this long after its
// start is hung (a resolver that never returns) and is ended as a failure. The
// 5 s more leave room for its start and its exit on a loaded NAS.
#define NAS_CURL_DEADLINE_SEC (HTTP_SILENCE_LIMIT_SEC + 5)
// Once a tool has ended, whatever it wrote is in the pipe: a helper it left
// behind holding the pipe gets this much more, then what was read is used.
#define DVR_TOOL_OUTPUT_GRACE_MS 100
// How long the answer waits for the DVR service script. A start brings the
// backend up in seconds; a script still running then is hung and goes on by
// itself, never ended by us (a half-done start is worse than a slow one), and
// the answer goes on as after its end, well within a web server's CGI limit.
#define DVR_SERVICE_SCRIPT_DEADLINE_SEC 30

#endif
