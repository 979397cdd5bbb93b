// NAS platform helpers: commands without a shell, process lookup by name,
// session validation with the NAS login service, and the fault signal handler
// pair.
#include "my_utility.h"

#include <dirent.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base_io.h"
#include "platform.h"
#include "small_http.h"

// ---------------------------------------------------------------------------
// Commands

namespace {

// The signals the fault handler pair takes over.
const int kHandledSignals[] = { SIGBUS, SIGSEGV, SIGINT, SIGABRT, SIGTERM, SIGHUP, SIGURG };

// Closes every descriptor from first on; older kernels without close_range get
// the plain loop.
void close_from(int first)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, first, ~0U, 0) == 0)
        return;
#endif
    long last = sysconf(_SC_OPEN_MAX);
    if (last < 0 || last > 65536)
        last = 65536;
    for (int fd = first; fd < last; fd++)
        close(fd);
}

} // namespace

namespace {

enum {
    // A service script: it must run to its end whatever happens to us, so it
    // gets no parent-death signal and a session of its own, and no descriptor
    // of the web server (its daemons would hold the CGI's pipes open).
    RUN_SERVICE = 1,
};

// The most words a command may have for the /bin/sh fallback.
const int kMaxWords = 15;

// Starts argv as run_command describes; with RUN_SERVICE as run_service_script
// does. *status gets the shell-style exit status when waited for. A command
// still running deadlineSec after its start (0: no limit) is killed, and the
// run counts as one that could not be started.
int _run(const char* const argv[], char* out, size_t outLen, int flags, int deadlineSec, int* status)
{
    // A tool that is missing or not executable is known before anything starts.
    if (access(argv[0], X_OK) != 0)
        return -1;
    // A script without a "#!" line runs through /bin/sh, as system() and execvp
    // would run it; the words are laid out before the child starts.
    const char* shArgv[kMaxWords + 2] = { "/bin/sh" };
    int words = 0;
    while (argv[words] && words < kMaxWords) {
        shArgv[words + 1] = argv[words];
        ++words;
    }
    const bool bShFallback = argv[words] == nullptr;
    shArgv[words + 1] = nullptr;

    int pipeFds[2] = { -1, -1 };
    if (out && pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;

    static char* const s_env[] = { const_cast<char*>(DVR_CHILD_PATH_ENV), nullptr };
    const pid_t parent = getpid();
    const bool bService = (flags & RUN_SERVICE) != 0;
    const int outFd = out ? pipeFds[1] : STDERR_FILENO;
    // vfork: a child that only sets up its descriptors and execs needs no copy
    // of the CGI's memory, and the CGI sleeps until the exec. A failed exec
    // leaves its errno in this variable, which the child shares. Signals are
    // held meanwhile, so that no handler of ours runs in the child.
    volatile int execErr = 0;
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    pid_t pid = vfork();
    if (pid == 0) {
        // The command starts as it would under a shell: every signal at its
        // default action (an ignored signal would survive the exec) and none
        // blocked, whatever the web server left to the CGI.
        struct sigaction dfl;
        memset(&dfl, 0, sizeof(dfl));
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; sig++)
            sigaction(sig, &dfl, nullptr);
        if (bService)
            setsid();
        else
            // A tool must not outlive the CGI: when the web server ends the run
            // (a client that went away), the tool is ended with it.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
        int err = ESRCH;
        if (getppid() == parent) {
            int devNull = open("/dev/null", bService ? O_RDWR : O_RDONLY);
            // Standard output must never reach the CGI answer: it goes to the
            // caller's pipe, or to standard error, which the web server logs;
            // a service script's goes nowhere.
            if (devNull >= 0 && dup2(devNull, STDIN_FILENO) >= 0
                && dup2(bService ? devNull : outFd, STDOUT_FILENO) >= 0
                && (!bService || dup2(devNull, STDERR_FILENO) >= 0)) {
                // Nothing but 0-2 may leak into the child: a daemon started by a
                // service script would otherwise hold the web server's descriptors open.
                close_from(STDERR_FILENO + 1);
                sigset_t none;
                sigemptyset(&none);
                sigprocmask(SIG_SETMASK, &none, nullptr);
                execve(argv[0], const_cast<char* const*>(argv), s_env);
                if (errno == ENOEXEC && bShFallback)
                    execve(shArgv[0], const_cast<char* const*>(shArgv), s_env);
            }
            err = errno;
        }
        execErr = err;
        _exit(127);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (out)
        close(pipeFds[1]);
    if (pid < 0 || execErr != 0) {
        if (out)
            close(pipeFds[0]);
        if (pid > 0)
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
        return -1;
    }

    const struct timespec end = moment_after_ms(deadlineSec * 1000L);
    bool bHung = false;
    size_t kept = 0;
    if (out) {
        // Read to the end so the tool is never stopped by a full pipe; keep the
        // first outLen bytes.
        char discard[512];
        for (;;) {
            if (deadlineSec > 0) {
                struct pollfd pfd = { pipeFds[0], POLLIN, 0 };
                int r = poll(&pfd, 1, static_cast<int>(ms_until(&end)));
                if (r < 0 && errno == EINTR)
                    continue;
                if (r == 0) {
                    bHung = true;
                    break;
                }
            }
            char* pDest = kept < outLen ? out + kept : discard;
            size_t room = kept < outLen ? outLen - kept : sizeof(discard);
            ssize_t n = read(pipeFds[0], pDest, room);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            if (pDest != discard)
                kept += static_cast<size_t>(n);
        }
        close(pipeFds[0]);
    }
    int wstatus = 0;
    // A tool may also hang after closing its output: with a limit, its end is
    // waited for within it. One that has closed its output is usually ending,
    // so it is looked at again soon, then less and less often.
    long pauseNs = 50000;
    while (!bHung) {
        pid_t r = waitpid(pid, &wstatus, deadlineSec > 0 ? WNOHANG : 0);
        if (r == pid || (r < 0 && errno != EINTR))
            break;
        if (r != 0)
            continue;
        if (ms_until(&end) == 0) {
            bHung = true;
        } else {
            const struct timespec pause = { 0, pauseNs };
            nanosleep(&pause, nullptr);
            pauseNs = pauseNs < 5000000 ? pauseNs * 2 : pauseNs;
        }
    }
    if (bHung) {
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
        return -1;
    }
    if (status)
        *status = WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
    return static_cast<int>(kept);
}

} // namespace

int run_command(const char* const argv[], char* out, size_t outLen, int deadlineSec)
{
    return _run(argv, out, outLen, 0, deadlineSec, nullptr);
}

int run_service_script(const char* const argv[])
{
    int status = 0;
    if (_run(argv, nullptr, 0, RUN_SERVICE, 0, &status) < 0)
        return -1;
    return status;
}

// ---------------------------------------------------------------------------
// Process lookup

pid_t* _find_pid_by_name_in(const char* procRoot, const char* pidName)
{
    DIR* pDir = opendir(procRoot);
    if (!pDir) {
        debug_print("[find_pid_by_name]", "Cannt open /proc");
        return nullptr;
    }
    pid_t* pidList = nullptr;
    size_t i = 0;
    char filename[DVR_PATH_BUF_SIZE];
    char buffer[DVR_PATH_BUF_SIZE];
    char name[DVR_PATH_BUF_SIZE];
    struct dirent* pEntry;
    while ((pEntry = readdir(pDir)) != nullptr) {
        if (pEntry->d_name[0] < '0' || pEntry->d_name[0] > '9')
            continue;
        snprintf(filename, sizeof(filename), "%s/%s/status", procRoot, pEntry->d_name);
        FILE* pStatus = fopen(filename, "re");
        if (!pStatus)
            continue;
        memset(buffer, 0, sizeof(buffer));
        char* pLine = fgets(buffer, sizeof(buffer) - 1, pStatus);
        fclose(pStatus);
        if (!pLine)
            continue;
        // The first line is "Name:\t<comm>"; a line without a second word names nothing.
        memset(name, 0, sizeof(name));
        if (sscanf(buffer, "%*s %1023s", name) != 1)
            continue;
        if (strcmp(name, pidName) != 0)
            continue;
        pid_t* pGrown = static_cast<pid_t*>(realloc(pidList, (i + 2) * sizeof(pid_t)));
        if (!pGrown)
            break; // what was found so far is still a valid answer
        pidList = pGrown;
        pidList[i++] = static_cast<pid_t>(strtol(pEntry->d_name, nullptr, 0));
    }
    closedir(pDir);

    if (i > 0) {
        pidList[i] = 0;
        return pidList;
    }
    free(pidList);
    if (strcmp(pidName, "init") == 0) {
        // Process 1 is taken to be init when no process of that name is listed.
        pid_t* pInit = static_cast<pid_t*>(malloc(2 * sizeof(pid_t)));
        if (pInit) {
            pInit[0] = 1;
            pInit[1] = 0;
        }
        return pInit;
    }
    return nullptr;
}

pid_t* find_pid_by_name(const char* pidName)
{
    return _find_pid_by_name_in(DVR_PROC_ROOT, pidName);
}

namespace {

// The start of one file of a process's entry, NUL-ended; false when nothing can be read.
bool _read_entry_file(int procFd, const char* entry, const char* file, char* buf, size_t size)
{
    char path[DVR_PATH_BUF_SIZE];
    snprintf(path, sizeof(path), "%s/%s", entry, file);
    int fd = openat(procFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, buf, size - 1);
    close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    return true;
}

// Whether a process's command name, as the first word of the status line's
// "Name:" field shows it, is `name`. Read from the short comm file:
// the kernel formats the whole status file on every read, which made the scan
// the largest cost of a forwarded request.
bool _comm_word_is(int procFd, const char* entry, const char* name)
{
    char comm[64];
    if (!_read_entry_file(procFd, entry, "comm", comm, sizeof(comm)))
        return false;
    comm[strcspn(comm, " \t\n\v\f\r")] = '\0';
    if (comm[0] == '\0')
        return false;
    // The status line shows a backslash doubled.
    char shown[2 * sizeof(comm)];
    size_t len = 0;
    for (const char* p = comm; *p; p++) {
        if (*p == '\\')
            shown[len++] = '\\';
        shown[len++] = *p;
    }
    shown[len] = '\0';
    return strcmp(shown, name) == 0;
}

// Whether the entry is a listed process of this name: its status file shows the
// name as the first word after "Name:", as the full scan reads it, and its
// "Tgid:" is the entry itself. An entry that can be opened but is not listed
// (a thread's id) must not answer for the scan.
bool _is_listed_as(int procFd, const char* entry, const char* name)
{
    char status[DVR_PROC_STATUS_HEAD_SIZE];
    if (!_read_entry_file(procFd, entry, "status", status, sizeof(status)))
        return false;
    const char* pTgid = strstr(status, "\nTgid:");
    if (!pTgid)
        return false;
    // The second word of the first line, as the scan reads it. Not with
    // sscanf: that would link its number parsers into the programs.
    static const char kBlanks[] = " \t\n\v\f\r";
    status[strcspn(status, "\n")] = '\0';
    const char* pWord = status + strspn(status, kBlanks);
    pWord += strcspn(pWord, kBlanks);
    pWord += strspn(pWord, kBlanks);
    const size_t wordLen = strcspn(pWord, kBlanks);
    if (wordLen == 0 || wordLen != strlen(name) || strncmp(pWord, name, wordLen) != 0)
        return false;
    pTgid += strlen("\nTgid:");
    pTgid += strspn(pTgid, " \t");
    size_t len = strlen(entry);
    return strncmp(pTgid, entry, len) == 0 && pTgid[len] == '\n';
}

// An entry name as the hint may hold it: a process id in plain decimal.
bool _is_pid_text(const char* text)
{
    size_t len = strspn(text, "0123456789");
    return len > 0 && len < DVR_PROC_ENTRY_SIZE && text[len] == '\0' && text[0] != '0';
}

// The process id the hint file names, into entry; false for anything but a
// regular file holding one id and a line feed. Never follows a link, never
// waits on a pipe, reads a few bytes only: whoever wrote it, the caller checks
// the process itself before it believes it.
bool _read_hint(const char* hintPath, char* entry)
{
    int fd = open(hintPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, entry, DVR_PROC_ENTRY_SIZE);
    close(fd);
    if (n < 2 || n >= DVR_PROC_ENTRY_SIZE || entry[n - 1] != '\n')
        return false;
    entry[n - 1] = '\0';
    return _is_pid_text(entry);
}

// Writes the hint in place, into a file of this user's own: no second name
// ever exists, so no moment at which the web server ends the run can leave one
// behind. Only a regular file that this user owns and that has no other name is
// written (a link or anything else planted there leads nowhere). A reader that
// meets a half-written hint finds no id in it and walks; the id it finds is
// always checked, so the hint can never make a wrong answer. A failure leaves
// things as they were: the next check walks again.
void _write_hint(const char* hintPath, const char* entry)
{
    int fd = open(hintPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, DVR_PROC_HINT_MODE);
    if (fd < 0)
        return;
    struct stat st;
    char text[DVR_PROC_ENTRY_SIZE + 1];
    int n = snprintf(text, sizeof(text), "%s\n", entry);
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1 && n > 0
        && pwrite(fd, text, static_cast<size_t>(n), 0) == n) {
        int ignored = ftruncate(fd, n);
        (void)ignored;
    }
    close(fd);
}

} // namespace

bool _is_process_exist_in(const char* procRoot, const char* name, const char* hintPath)
{
    // The process found last time is asked first: the send step asks again
    // right after the first check, and one read then answers it. Before the
    // walk, the process that the hint file names: a walk costs a read for
    // every process listed ahead of the backend, a few hundred on a NAS.
    static char s_chRoot[DVR_PATH_BUF_SIZE];
    static char s_chName[DVR_PATH_BUF_SIZE];
    static char s_chEntry[DVR_PROC_ENTRY_SIZE];
    int procFd = open(procRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        return false;
    if (s_chEntry[0] != '\0' && strcmp(s_chRoot, procRoot) == 0 && strcmp(s_chName, name) == 0
        && _is_listed_as(procFd, s_chEntry, name)) {
        close(procFd);
        return true;
    }
    s_chEntry[0] = '\0';
    const bool bRemember = strlen(procRoot) < sizeof(s_chRoot) && strlen(name) < sizeof(s_chName);
    char hinted[DVR_PROC_ENTRY_SIZE] = "";
    if (hintPath && _read_hint(hintPath, hinted) && _is_listed_as(procFd, hinted, name)) {
        if (bRemember) {
            strcpy(s_chEntry, hinted);
            strcpy(s_chRoot, procRoot);
            strcpy(s_chName, name);
        }
        close(procFd);
        return true;
    }
    DIR* pDir = fdopendir(procFd);
    if (!pDir) {
        close(procFd);
        return false;
    }
    // Existence needs one process only: the scan ends at the first.
    bool bFound = false;
    struct dirent* pEntry;
    while (!bFound && (pEntry = readdir(pDir)) != nullptr) {
        if (pEntry->d_name[0] < '0' || pEntry->d_name[0] > '9')
            continue;
        bFound = _comm_word_is(procFd, pEntry->d_name, name);
        if (bFound && _is_pid_text(pEntry->d_name)) {
            if (bRemember) {
                strcpy(s_chEntry, pEntry->d_name);
                strcpy(s_chRoot, procRoot);
                strcpy(s_chName, name);
            }
            if (hintPath && strcmp(hinted, pEntry->d_name) != 0)
                _write_hint(hintPath, pEntry->d_name);
        }
    }
    closedir(pDir);
    // Process 1 is taken to be init when no process of that name is listed.
    return bFound || strcmp(name, "init") == 0;
}

bool is_process_exist(const char* name)
{
    static char s_chHint[DVR_PATH_BUF_SIZE];
    if (s_chHint[0] == '\0')
        snprintf(s_chHint, sizeof(s_chHint), "%s.%u", DVR_PROC_HINT_FILE, static_cast<unsigned>(geteuid()));
    return _is_process_exist_in(DVR_PROC_ROOT, name, s_chHint);
}

// ---------------------------------------------------------------------------
// NAS settings and session validation

namespace {

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
    int n = run_command(argv, buffer, sizeof(buffer) - 1, NAS_GETCFG_DEADLINE_SEC);
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

int check_Ovra_force_ssl()
{
    return read_setting("System", "Force SSL", "0");
}

int _get_host_ssl_port()
{
    return read_setting("Stunnel", "port", "443");
}

int _get_host_port()
{
    return read_setting("System", "Web Access Port", nullptr);
}

int get_Ovra_web_port()
{
    return check_Ovra_force_ssl() == 1 ? _get_host_ssl_port() : _get_host_port();
}

int curl_send_request(const char* const argv[], char* ret_str, int buf_len)
{
    if (buf_len <= 0 || run_command(argv, ret_str, static_cast<size_t>(buf_len)) < 0) {
        debug_print("[curl_send_request]", "command fail,command is %s,erron =%d", argv[0], errno);
        return 1;
    }
    return 0;
}

namespace {

const char kBlanks[] = " \t\r\n";

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
    p += strspn(p, kBlanks);
    const char* start = p;
    const char* end;
    if (strncmp(p, "<![CDATA[", 9) == 0) {
        start = p + 9;
        end = strstr(start, "]]>");
        if (!end)
            return false;
        p = end + 3;
        p += strspn(p, kBlanks);
    } else {
        if (!bPlain)
            return false;
        p = strchr(p, '<');
        if (!p)
            return false;
        end = p;
        while (end > start && strchr(kBlanks, end[-1]))
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
    static const char kService[] = "&service=100";
    if (!sid || !*sid || bufSize == 0)
        return false;
    if (!ending)
        ending = "";
    size_t pos = 0;
    // The session id arrives as the browser encoded it, and travels on as it
    // is: a '+' and a valid %XX escape keep the meaning the browser gave them.
    // Every other byte outside the unreserved set is percent-encoded, so the id
    // can never add or change a field of the form.
    const size_t tail = strlen(kService) + strlen(ending) + 1;
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
    snprintf(buf + pos, bufSize - pos, "%s%s", kService, ending);
    return true;
}

namespace {

// The result of one path of a validation from the login service's answer
// (null: none came), traced under the path's tag when it confirms the session.
int _login_result(const char* tag, const char* answer, char* username)
{
    if (!answer || _check_login_answer(answer, username) != 0)
        return 1;
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
    // proxy. -s -S: errors only, no progress meter in the web server's log.
    const char* argv[] = { NAS_CURL_TOOL, "-q", "-s", "-S", "--max-time", NAS_CURL_MAX_TIME, "-k", "-d", form,
        url, nullptr };
    // One byte more than is read, so the answer is always a terminated text.
    char buf[NAS_CURL_ANSWER_SIZE + 1];
    memset(buf, 0, sizeof(buf));
    if (curl_send_request(argv, buf, NAS_CURL_ANSWER_SIZE) != 0)
        return 1;
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
        return 1;
    }
    return _login_result("[_login_Ovra_with_sid]", http.exchange("POST", NAS_LOGIN_PATH, form), username);
}

int login_Ovra_with_sid(const char* sid, char* username)
{
    // A missing session id is never confirmed, and costs no tool run.
    if (!sid || !*sid)
        return 1;
    // The HTTPS-only switch is read once; each path then reads only its own port.
    return check_Ovra_force_ssl() == 1 ? _login_Ovra_with_sid_curl(sid, username)
                                       : _login_Ovra_with_sid(sid, username);
}

// ---------------------------------------------------------------------------
// Fault signal handler

void _signal_info_handler(int signal, siginfo_t* siginfo, void* aux)
{
    (void)aux;
#ifdef DVR_CGI_TRACE
    debug_print("[signal_handler]", "SignalNumber:%d  errnoValue:%d  SignalCode:%d PID:%u", signal,
        siginfo ? siginfo->si_errno : 0, siginfo ? siginfo->si_code : 0,
        siginfo ? static_cast<unsigned>(siginfo->si_pid) : 0U);
    void* backtrace_stack[30];
    size_t size = static_cast<size_t>(backtrace(backtrace_stack, 30));
    char** bt_symbols = backtrace_symbols(backtrace_stack, static_cast<int>(size));
    for (size_t i = 0; bt_symbols && i < size; i++)
        debug_print("[signal_handler]", "%s", bt_symbols[i]);
    exit(-1);
#else
    (void)signal;
    (void)siginfo;
    // Only async-signal-safe work in the shipped build: the answer is written
    // with write(2), so no answer bytes wait in a buffer that exit would flush.
    _exit(255);
#endif
}

void _signal_manager()
{
    struct sigaction sig_act;
    memset(&sig_act, 0, sizeof(sig_act));
    sig_act.sa_sigaction = _signal_info_handler;
    sig_act.sa_flags = SA_SIGINFO;
    sigemptyset(&sig_act.sa_mask);
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : kHandledSignals) {
        sigaction(sig, &sig_act, nullptr);
        sigaddset(&handled, sig);
    }
    // A handler that can never run is no handler: a web server may start the
    // CGI with these signals blocked.
    sigprocmask(SIG_UNBLOCK, &handled, nullptr);
}
