// Starting commands without a shell: the NAS tools and the DVR service script,
// each under a time limit.
#ifndef DVR_CGI_RUN_COMMAND_H
#define DVR_CGI_RUN_COMMAND_H

#include <stddef.h>

// What run_service_script answers besides an exit status.
enum {
    RUN_NOT_STARTED = -1, // missing, not executable, or the start failed
    RUN_STILL_RUNNING = -2, // running at its limit: left to go on by itself
};

// Starts argv[0] with argv as its words, never through a shell (a script
// without "#!" runs through /bin/sh, as a shell would run it). The child gets
// standard input from /dev/null, no descriptor but 0-2, every signal at its
// default and none blocked, and the web server's environment less the
// request's variables (platform.h). Its standard output goes to our standard
// error (the web server's log), or, when out is given, into a pipe of which at
// most outLen bytes are kept in out (the rest is read and dropped). Once it has
// ended, a helper it left holding its output gets DVR_TOOL_OUTPUT_GRACE_MS
// more, then what was read is used. A command still running limitMs after its
// start (0: no limit) is ended with SIGKILL. Returns the number of bytes kept,
// or -1 when the command could not be started or was ended at its limit.
int run_command(const char* const argv[], char* out, size_t outLen, long limitMs);

// Starts a service script that must run to its end whatever happens to us: a
// session of its own, /dev/null for its input and both outputs (a daemon it
// starts keeps no descriptor of the web server), and never ended by us.
// Otherwise as run_command. Waits for its end at most limitMs: its exit status
// (128 + N when signal N ended it), RUN_NOT_STARTED, or RUN_STILL_RUNNING.
int run_service_script(const char* const argv[], long limitMs);

// Why the last run did not succeed, for the failure line: "missing", "ended
// with status 1", "past its deadline of 10 s", "still running after 30 s"; the
// empty text when it ran and ended with status 0.
const char* last_run_failure();

// Ends the tool that runs now, if any (a service script goes on): for the
// fault handler, when the web server ends the run. Async-signal-safe.
void end_running_tool();

#endif
