// NAS settings and the session check with the NAS login service.
#include "session.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base_io.h"
#include "log_line.h"
#include "platform.h"
#include "run_command.h"
#include "small_http.h"

namespace {

// The first tool failure on the way of a session check ("/sbin/getcfg: missing").
// It is written only when the check then fails: a check that succeeds writes
// nothing, and one that fails names this cause before its own last step.
char s_chCheckCause[80];

void _note_cause(const char* tool, const char* why)
{
    if (!s_chCheckCause[0])
        snprintf(s_chCheckCause, sizeof(s_chCheckCause), "%s: %s", tool, why);
}

// Passes the noted cause on as the run's failure, if any; the caller's own
// reason after it then goes unwritten, as only a run's first cause is.
void _pass_on_noted_cause()
{
    if (s_chCheckCause[0])
        note_failure("%s", s_chCheckCause);
}

// Runs the configuration tool with the words of one setting's command line and
// reads the first line of its answer as a number. A tool that cannot be
// started reads like an empty answer: 0.
int read_setting(const char* section, const char* key, const char* defaultValue)
{
    const char* argv[]
        = { NAS_GETCFG_TOOL, section, key, "-d", defaultValue, "-f", NAS_CONFIG_FILE, nullptr };
    if (!defaultValue) {
        argv[3] = "-f";
        argv[4] = NAS_CONFIG_FILE;
        argv[5] = nullptr;
    }
    char buffer[NAS_SETTING_BUF_SIZE];
    memset(buffer, 0, sizeof(buffer));
    int n = run_command(argv, buffer, sizeof(buffer) - 1, NAS_GETCFG_DEADLINE_SEC * 1000L);
    if (*last_run_failure())
        _note_cause(NAS_GETCFG_TOOL, last_run_failure());
    if (n <= 0)
        return 0;
    buffer[strcspn(buffer, "\n")] = '\0';
    return atoi(buffer);
}

bool is_unreserved(unsigned char ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-'
        || ch == '.' || ch == '_' || ch == '~';
}

} // namespace

int check_Ovra_force_ssl() { return read_setting("System", "Force SSL", "0"); }

int _get_host_ssl_port() { return read_setting("Stunnel", "port", "443"); }

int _get_host_port() { return read_setting("System", "Web Access Port", nullptr); }

int get_Ovra_web_port() { return check_Ovra_force_ssl() == 1 ? _get_host_ssl_port() : _get_host_port(); }

int curl_send_request(const char* const argv[], char* ret_str, int buf_len)
{
    if (buf_len <= 0
        || run_command(argv, ret_str, static_cast<size_t>(buf_len), NAS_CURL_DEADLINE_SEC * 1000L) < 0) {
        debug_print("[curl_send_request]", "command fail,command is %s,erron =%d", argv[0], errno);
        _note_cause(argv[0], buf_len <= 0 ? "no room for the answer" : last_run_failure());
        return 1;
    }
    // Its exit status decides nothing: the answer does. A failed transfer is
    // the cause to name when no confirmation came.
    if (*last_run_failure())
        _note_cause(argv[0], last_run_failure());
    return 0;
}

namespace {

const char BLANKS[] = " \t\r\n";

// The content of the first element whose start tag is `key` (such as
// "<username>"): one CDATA section, or with bPlain plain text, blanks allowed
// around it, directly followed by the element's end tag. False for anything
// else: the value never comes from another element.
bool _element_content(const char* str, const char* key, bool bPlain, const char** pStart, size_t* pLen)
{
    const char* p = strstr(str, key);
    if (!p)
        return false;
    p += strlen(key);
    p += strspn(p, BLANKS);
    const char* start = p;
    const char* end;
    if (strncmp(p, "<![CDATA[", 9) == 0) {
        start = p + 9;
        end = strstr(start, "]]>");
        if (!end)
            return false;
        p = end + 3;
        p += strspn(p, BLANKS);
    } else {
        if (!bPlain)
            return false;
        p = strchr(p, '<');
        if (!p)
            return false;
        end = p;
        while (end > start && strchr(BLANKS, end[-1]))
            --end;
    }
    // The end tag is the start tag with a '/' after its '<'.
    const size_t nameLen = strlen(key) - 1;
    if (p[0] != '<' || p[1] != '/' || strncmp(p + 2, key + 1, nameLen) != 0)
        return false;
    *pStart = start;
    *pLen = static_cast<size_t>(end - start);
    return true;
}

} // namespace

int get_Ovra_xml_value(const char* str, const char* key, char* ret, size_t ret_size)
{
    const char* pStart;
    size_t len;
    if (!_element_content(str, key, false, &pStart, &len))
        return 1;
    // An empty value is no value; one that does not fit with its terminator is
    // refused, never cut.
    if (len == 0 || len >= ret_size)
        return 1;
    memcpy(ret, pStart, len);
    ret[len] = '\0';
    return 0;
}

int _check_login_answer(const char* answer, char* username)
{
    char name[NAS_USERNAME_SIZE];
    memset(name, 0, sizeof(name));
    if (get_Ovra_xml_value(answer, "<username>", name, sizeof(name)) != 0)
        return 1;
    // An answer that says the check did not pass is a refusal, whatever else it
    // holds. Every authPassed element counts, not only the first text that
    // begins like one; one that cannot be read as plain <authPassed>1 refuses.
    // (strchr finds the terminator too: an answer cut inside the tag refuses.)
    for (const char* p = strstr(answer, "<authPassed"); p; p = strstr(p + 1, "<authPassed")) {
        if (strchr("/> \t\r\n", p[11]) == nullptr)
            continue; // an element of another name
        const char* pValue;
        size_t len;
        if (p[11] != '>' || !_element_content(p, "<authPassed>", true, &pValue, &len) || len != 1
            || *pValue != '1')
            return 1;
    }
    memcpy(username, name, sizeof(name));
    return 0;
}

bool _build_login_form(const char* sid, const char* ending, char* buf, size_t bufSize)
{
    static const char SERVICE_FIELD[] = "&service=100";
    if (!sid || !*sid || bufSize == 0)
        return false;
    if (!ending)
        ending = "";
    size_t pos = 0;
    // The session id arrives as the browser encoded it, and travels on as it
    // is: a '+' and a valid %XX escape keep the meaning the browser gave them.
    // Every other byte outside the unreserved set is percent-encoded, so the id
    // can never add or change a field of the form.
    const size_t tail = strlen(SERVICE_FIELD) + strlen(ending) + 1;
    if (bufSize < 4 + tail)
        return false;
    memcpy(buf, "sid=", 4);
    pos = 4;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(sid); *p; p++) {
        const bool bKeep = is_unreserved(*p) || *p == '+'
            || (*p == '%' && hex_value(static_cast<char>(p[1])) >= 0
                && hex_value(static_cast<char>(p[2])) >= 0);
        size_t need = bKeep ? 1 : 3;
        if (pos + need + tail > bufSize)
            return false;
        if (need == 1) {
            buf[pos++] = static_cast<char>(*p);
        } else {
            percent_encode(*p, buf + pos);
            pos += 3;
        }
    }
    snprintf(buf + pos, bufSize - pos, "%s%s", SERVICE_FIELD, ending);
    return true;
}

namespace {

// The result of one path of a validation from the login service's answer
// (null: none came), traced under the path's tag when it confirms the session.
int _login_result(const char* tag, const char* answer, char* username)
{
    if (!answer)
        return 1;
    if (_check_login_answer(answer, username) != 0) {
        _pass_on_noted_cause();
        note_failure("login service refused the session");
        return 1;
    }
    debug_print(tag, "username is %s", username);
    return 0;
}

} // namespace

int _login_Ovra_with_sid_curl(const char* sid, char* username)
{
    char form[NAS_LOGIN_BODY_SIZE] = {};
    if (!_build_login_form(sid, "", form, sizeof(form)))
        return 1;
    int port = _get_host_ssl_port();

    char url[96];
    snprintf(url, sizeof(url), "https://%s:%d%s", NAS_LOGIN_IP, port, NAS_LOGIN_PATH);
    // -q first: no .curlrc of the account may redirect the answer or add a
    // proxy; --noproxy: nor may a proxy variable of the web server's
    // environment, for the login service on this box. -s: nothing of its own
    // in the web server's log, neither progress meter nor error text; its exit
    // status makes the failure line.
    const char* argv[] = { NAS_CURL_TOOL, "-q", "-s", "--noproxy", "*", "--max-time", NAS_CURL_MAX_TIME, "-k",
        "-d", form, url, nullptr };
    // One byte more than is read, so the answer is always a terminated text.
    char buf[NAS_CURL_ANSWER_SIZE + 1];
    memset(buf, 0, sizeof(buf));
    if (curl_send_request(argv, buf, NAS_CURL_ANSWER_SIZE) != 0) {
        _pass_on_noted_cause();
        return 1;
    }
    return _login_result("[_login_Ovra_with_sid_curl]", buf, username);
}

int _login_Ovra_with_sid(const char* sid, char* username)
{
    char form[NAS_LOGIN_BODY_SIZE] = {};
    if (!_build_login_form(sid, "\n", form, sizeof(form)))
        return 1;
    int port = _get_host_port();

    CSmallHttp http(NAS_LOGIN_IP, port);
    if (!http.connectToServer()) {
        debug_print("[_login_Ovra_with_sid]", "connect to server fail");
        _pass_on_noted_cause();
        http.noteFailure("login service");
        return 1;
    }
    const char* answer = http.exchange("POST", NAS_LOGIN_PATH, form);
    if (!answer) {
        _pass_on_noted_cause();
        http.noteFailure("login service");
    }
    return _login_result("[_login_Ovra_with_sid]", answer, username);
}

int login_Ovra_with_sid(const char* sid, char* username)
{
    // A missing session id is never confirmed, and costs no tool run.
    if (!sid || !*sid)
        return 1;
    s_chCheckCause[0] = '\0';
    // The HTTPS-only switch is read once; each path then reads only its own port.
    return check_Ovra_force_ssl() == 1 ? _login_Ovra_with_sid_curl(sid, username)
                                       : _login_Ovra_with_sid(sid, username);
}
