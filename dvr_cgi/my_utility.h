// NAS platform helpers shared by both CGI programs, one file each: starting
// commands without a shell (run_command.cpp), process lookup by name
// (proc_lookup.cpp), NAS session validation (session.cpp) and the fault signal
// handler pair (fault_signal.cpp).
#ifndef DVR_CGI_MY_UTILITY_H
#define DVR_CGI_MY_UTILITY_H

#include <signal.h>
#include <stddef.h>
#include <sys/types.h>

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

// Process lookup: a heap list of the ids of every process with this command
// name, in /proc directory order, ended by 0; null for none. Caller frees.
pid_t* find_pid_by_name(const char* pidName);
// The same scan over another proc root, for tests.
pid_t* _find_pid_by_name_in(const char* procRoot, const char* pidName);
// Whether a process of this name runs: the same answer as a non-null
// find_pid_by_name, from a cheaper scan that stops at the first match, asks
// the last match first and then the process named by the hint file (none when
// hintPath is null); a scan that finds one rewrites the hint.
bool is_process_exist(const char* name);
bool _is_process_exist_in(const char* procRoot, const char* name, const char* hintPath = nullptr);

// NAS session validation. 0 means success, 1 failure.
int check_Ovra_force_ssl();
int get_Ovra_web_port();
int _get_host_ssl_port();
int _get_host_port();
// Runs a transfer command (argv form, no shell) and keeps at most buf_len bytes
// of its output in ret_str. 0 when it ran, 1 when it could not be started.
int curl_send_request(const char* const argv[], char* ret_str, int buf_len);
// Copies the value of the first element whose start tag is key ("<username>")
// into ret (ret_size bytes, zero-filled by the caller): the CDATA section that
// is the element's content, blanks allowed around it. 1 when there is no such
// value, it is empty, or it does not fit with its terminating zero.
int get_Ovra_xml_value(const char* str, const char* key, char* ret, size_t ret_size);
// The login service's answer: 0 and the user name in username when it confirms
// the session (a name, and no authPassed element other than 1), else 1 and
// username untouched.
int _check_login_answer(const char* answer, char* username);
// Builds "sid=<sid, form-encoded>&service=100" plus the optional ending into buf.
// False when the session id is missing, empty or does not fit.
bool _build_login_form(const char* sid, const char* ending, char* buf, size_t bufSize);
// The two paths of one validation; each reads only its own port setting, so a
// validation runs the configuration tool twice (HTTPS-only switch, then port).
int _login_Ovra_with_sid(const char* sid, char* username);
int _login_Ovra_with_sid_curl(const char* sid, char* username);
// username: a zero-filled buffer of NAS_USERNAME_SIZE bytes.
int login_Ovra_with_sid(const char* sid, char* username);

// Fault signal handler pair: installs the handler for SIGBUS, SIGSEGV, SIGINT,
// SIGABRT, SIGTERM, SIGHUP and SIGURG; the handler ends the process with 255.
void _signal_manager();
void _signal_info_handler(int signal, siginfo_t* siginfo, void* aux);

#endif
