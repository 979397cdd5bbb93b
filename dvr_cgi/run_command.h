// Starting commands without a shell: the NAS tools and the DVR service script.
#ifndef DVR_CGI_RUN_COMMAND_H
#define DVR_CGI_RUN_COMMAND_H

#include <stddef.h>

// Starts argv[0] with argv as its words, never through a shell. The child gets
// standard input from /dev/null, no descriptor but 0-2, and only the fixed PATH
// in its environment. Its standard output goes to our standard error (the web
// server's log), or, when out is given, into a pipe of which at most outLen
// bytes are kept in out (the rest is read and dropped). Waits for the child.
// Returns the number of bytes kept, or -1 when the command could not be started
// or, with a deadline, was still running deadlineSec after its start (it is
// then killed).
int run_command(const char* const argv[], char* out, size_t outLen, int deadlineSec = 0);
// Starts a service script that must run to its end even when the web server
// ends the CGI meanwhile: no parent-death signal, a session of its own, and
// /dev/null for its input and output (a daemon it starts keeps no descriptor of
// the web server). Otherwise as run_command. Waits for it; returns its exit
// status (128 + N when signal N ended it), or -1 when it could not be started.
int run_service_script(const char* const argv[]);
// Why the last run_command or run_service_script did not succeed, for the
// failure line: "missing", "ended with status 1", "past its deadline of 10 s";
// the empty text when it ran and ended with status 0.
const char* last_run_failure();

#endif
