// The NAS settings and the session check with the NAS login service.
#ifndef DVR_CGI_SESSION_H
#define DVR_CGI_SESSION_H

#include <stddef.h>

// NAS settings, read with the configuration tool: the number its answer starts with.
int check_Ovra_force_ssl();
int get_Ovra_web_port();
int _get_host_ssl_port();
int _get_host_port();
// Runs a transfer command (argv form, no shell) and keeps at most buf_len bytes
// of its output in ret_str. 0 when it ran, 1 when it could not be started or
// was ended at its limit (NAS_CURL_DEADLINE_SEC).
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
// 0 means success, 1 failure.
int _login_Ovra_with_sid(const char* sid, char* username);
int _login_Ovra_with_sid_curl(const char* sid, char* username);
// username: a zero-filled buffer of NAS_USERNAME_SIZE bytes.
int login_Ovra_with_sid(const char* sid, char* username);

#endif
