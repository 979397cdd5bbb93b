// Starting commands without a shell: the NAS tools and the service script,
// with the C library's spawn, each under a time limit.
#include "run_command.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base_io.h"
#include "platform.h"

// From glibc 2.34 on, spawn itself closes every descriptor above 2 in the
// child. Without that action nothing of ours reaches it all the same: every
// descriptor the programs open is close-on-exec (opendir's too), and a web
// server gives a CGI 0-2 only.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#define DVR_SPAWN_CLOSEFROM 1
#endif

namespace {

char s_chRunFailure[64];
// The tool being waited for, which the fault handler ends with the run.
volatile sig_atomic_t s_toolPid;

void _note_run_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));

void _note_run_failure(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(s_chRunFailure, sizeof(s_chRunFailure), format, args);
    va_end(args);
}

// "past its deadline of 10 s": a limit in whole seconds as such, a short one
// (the unit tests') in milliseconds.
void _note_limit(const char* what, long limitMs)
{
    if (limitMs % 1000 == 0)
        _note_run_failure("%s %ld s", what, limitMs / 1000);
    else
        _note_run_failure("%s %ld ms", what, limitMs);
}

// The most words a command may have for the /bin/sh fallback.
const int MAX_WORDS = 15;

// Whether an environment entry carries the request (platform.h).
bool _is_request_variable(const char* entry)
{
    static const char* const REQUEST_VARIABLES[] = { DVR_REQUEST_ENV };
    for (const char* pName : REQUEST_VARIABLES) {
        if (strncmp(entry, pName, strlen(pName)) == 0)
            return true;
    }
    return false;
}

// A child's environment: ours (the web server's) less the request's
// variables, with the fixed search path where none is left. A heap list of
// our own entries, or null without memory for it.
char** _child_environment()
{
    size_t count = 0;
    while (environ && environ[count])
        ++count;
    char** env = static_cast<char**>(malloc((count + 2) * sizeof(char*)));
    if (!env)
        return nullptr;
    size_t kept = 0;
    bool bPath = false;
    for (size_t i = 0; i < count; ++i) {
        if (_is_request_variable(environ[i]))
            continue;
        bPath = bPath || strncmp(environ[i], "PATH=", 5) == 0;
        env[kept++] = environ[i];
    }
    if (!bPath)
        env[kept++] = const_cast<char*>(DVR_CHILD_PATH_ENV);
    env[kept] = nullptr;
    return env;
}

// Reads the child's output from pipeFd (-1: none) and waits for its end, which
// a SIGCHLD on sigFd announces, until the deadline (null: none). Once it has
// ended its output gets DVR_TOOL_OUTPUT_GRACE_MS more: a helper it left behind
// may hold the pipe open for good. True when it has ended (not yet reaped),
// false when it still runs at the deadline.
bool _wait_for_end(
    pid_t pid, int sigFd, int pipeFd, char* out, size_t outLen, size_t* kept, const struct timespec* deadline)
{
    bool bEnded = false;
    struct timespec graceEnd = {};
    char discard[512];
    for (;;) {
        // poll passes over a negative descriptor: one that is done with.
        struct pollfd fds[2] = { { bEnded ? -1 : sigFd, POLLIN, 0 }, { pipeFd, POLLIN, 0 } };
        if (bEnded && pipeFd < 0)
            return true;
        const int r = wait_ready(fds, 2, bEnded ? &graceEnd : deadline);
        if (r <= 0)
            return bEnded;
        if (fds[1].revents) {
            // Read to the end so the tool is never stopped by a full pipe;
            // keep the first outLen bytes.
            char* pDest = *kept < outLen ? out + *kept : discard;
            const size_t room = *kept < outLen ? outLen - *kept : sizeof(discard);
            const ssize_t n = read(pipeFd, pDest, room);
            if (n > 0 && pDest != discard)
                *kept += static_cast<size_t>(n);
            else if (n == 0 || (n < 0 && errno != EINTR))
                pipeFd = -1;
        }
        if (fds[0].revents) {
            struct signalfd_siginfo info;
            while (read(sigFd, &info, sizeof(info)) > 0) { }
            // Looked at, not reaped: the fault handler may still name it.
            siginfo_t child;
            memset(&child, 0, sizeof(child));
            int looked;
            while ((looked = waitid(P_PID, static_cast<id_t>(pid), &child, WEXITED | WNOHANG | WNOWAIT)) < 0
                && errno == EINTR) { }
            // The SIGCHLD is read and comes only once: a child that is no
            // child of ours to look at (ECHILD) is not waited for until its limit.
            if ((looked == 0 && child.si_pid == pid) || (looked < 0 && errno == ECHILD)) {
                bEnded = true;
                graceEnd = moment_after_ms(DVR_TOOL_OUTPUT_GRACE_MS);
            }
        }
    }
}

// The wait status of an ended child, reaped.
int _reap(pid_t pid)
{
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) { }
    return wstatus;
}

// Starts argv as run_command describes, or with bService as run_service_script
// does, and waits for it within limitMs (0: no limit). The bytes kept, with
// the shell-style exit status in *status; RUN_NOT_STARTED; or, past the
// limit, RUN_STILL_RUNNING for a service script, which goes on, and -1 for a
// tool, which is ended.
int _run(const char* const argv[], char* out, size_t outLen, bool bService, long limitMs, int* status)
{
    s_chRunFailure[0] = '\0';
    // A tool that is missing or not executable is known before anything starts.
    if (access(argv[0], X_OK) != 0) {
        _note_run_failure("%s", errno == ENOENT ? "missing" : strerror(errno));
        return RUN_NOT_STARTED;
    }
    // A script without a "#!" line runs through /bin/sh, as system() and
    // execvp would run it; spawn leaves that to us.
    const char* shArgv[MAX_WORDS + 2] = { "/bin/sh" };
    int words = 0;
    while (argv[words] && words < MAX_WORDS) {
        shArgv[words + 1] = argv[words];
        ++words;
    }
    const bool bShFallback = argv[words] == nullptr;
    shArgv[words + 1] = nullptr;

    // The child's end comes as a SIGCHLD, read from a signalfd beside its
    // output with the one wait; held meanwhile, and at its default action: a
    // web server may leave it ignored, which would reap the child unseen. The
    // fault handler's signals are held too until the child's id is known, so
    // that the handler can end it. This takes a single-threaded caller.
    sigset_t chld, held, oldMask;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    held = chld;
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, &oldMask);
    struct sigaction dfl, oldChld;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &dfl, &oldChld);

    int pipeFds[2] = { -1, -1 };
    const int sigFd = signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK);
    char** env = nullptr;
    int err = 0;
    if (sigFd < 0)
        err = errno;
    else if ((env = _child_environment()) == nullptr)
        err = ENOMEM;
    else if (out && pipe2(pipeFds, O_CLOEXEC) != 0)
        err = errno;
    pid_t pid = -1;
    if (err == 0) {
        // The command starts as it would under a shell: every signal at its
        // default action (an ignored one would survive the exec) and none
        // blocked, whatever the web server left to the CGI. Standard output
        // must never reach the CGI answer: it goes to the caller's pipe, or to
        // standard error, which the web server logs; a service script's goes
        // nowhere, and it gets a session of its own.
        posix_spawnattr_t attr;
        posix_spawn_file_actions_t actions;
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
        // Every signal, the C library's own two real-time ones too: sigfillset
        // leaves them out, and its spawn then leaves them ignored in the child.
        sigset_t all, none;
        memset(&all, 0xff, sizeof(all));
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr,
            static_cast<short>(
                POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | (bService ? POSIX_SPAWN_SETSID : 0)));
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (bService) {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        } else {
            posix_spawn_file_actions_adddup2(&actions, out ? pipeFds[1] : STDERR_FILENO, STDOUT_FILENO);
        }
#ifdef DVR_SPAWN_CLOSEFROM
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
        err = posix_spawn(&pid, argv[0], &actions, &attr, const_cast<char* const*>(argv), env);
        if (err == ENOEXEC && bShFallback)
            err = posix_spawn(&pid, shArgv[0], &actions, &attr, const_cast<char* const*>(shArgv), env);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    free(env);
    if (pipeFds[1] >= 0)
        close(pipeFds[1]);
    if (err == 0 && !bService)
        s_toolPid = pid;
    sigset_t waiting = oldMask;
    sigaddset(&waiting, SIGCHLD);
    sigprocmask(SIG_SETMASK, &waiting, nullptr);

    int result = RUN_NOT_STARTED;
    if (err != 0) {
        _note_run_failure("could not be started: %s", strerror(err));
    } else {
        const struct timespec end = moment_after_ms(limitMs);
        size_t kept = 0;
        if (_wait_for_end(pid, sigFd, pipeFds[0], out, outLen, &kept, limitMs > 0 ? &end : nullptr)) {
            s_toolPid = 0;
            const int wstatus = _reap(pid);
            if (WIFSIGNALED(wstatus))
                _note_run_failure("ended by signal %d", WTERMSIG(wstatus));
            else if (WEXITSTATUS(wstatus) != 0)
                _note_run_failure("ended with status %d", WEXITSTATUS(wstatus));
            if (status)
                *status = WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
            result = static_cast<int>(kept);
        } else if (bService) {
            // Never ended by us: it goes on by itself, as when the web server
            // ends the run.
            _note_limit("still running after", limitMs);
            result = RUN_STILL_RUNNING;
        } else {
            kill(pid, SIGKILL);
            s_toolPid = 0;
            _reap(pid);
            _note_limit("past its deadline of", limitMs);
            result = -1;
        }
    }
    if (pipeFds[0] >= 0)
        close(pipeFds[0]);
    if (sigFd >= 0)
        close(sigFd);
    sigaction(SIGCHLD, &oldChld, nullptr);
    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    return result;
}

} // namespace

int run_command(const char* const argv[], char* out, size_t outLen, long limitMs)
{
    const int n = _run(argv, out, outLen, false, limitMs, nullptr);
    return n < 0 ? -1 : n;
}

int run_service_script(const char* const argv[], long limitMs)
{
    int status = 0;
    const int result = _run(argv, nullptr, 0, true, limitMs, &status);
    return result < 0 ? result : status;
}

const char* last_run_failure() { return s_chRunFailure; }

void end_running_tool()
{
    const pid_t pid = s_toolPid;
    if (pid > 0)
        kill(pid, SIGKILL);
}
