// Starting commands without a shell: the NAS tools and the service script.
#include "run_command.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base_io.h"
#include "platform.h"

namespace {

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

enum {
    // A service script: it must run to its end whatever happens to us, so it
    // gets no parent-death signal and a session of its own, and no descriptor
    // of the web server (its daemons would hold the CGI's pipes open).
    RUN_SERVICE = 1,
};

char s_chRunFailure[64];

void _note_run_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));

void _note_run_failure(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(s_chRunFailure, sizeof(s_chRunFailure), format, args);
    va_end(args);
}

// The most words a command may have for the /bin/sh fallback.
const int MAX_WORDS = 15;

// Starts argv as run_command describes; with RUN_SERVICE as run_service_script
// does. *status gets the shell-style exit status when waited for. A command
// still running deadlineSec after its start (0: no limit) is killed, and the
// run counts as one that could not be started.
int _run(const char* const argv[], char* out, size_t outLen, int flags, int deadlineSec, int* status)
{
    s_chRunFailure[0] = '\0';
    // A tool that is missing or not executable is known before anything starts.
    if (access(argv[0], X_OK) != 0) {
        _note_run_failure("%s", errno == ENOENT ? "missing" : strerror(errno));
        return -1;
    }
    // A script without a "#!" line runs through /bin/sh, as system() and execvp
    // would run it; the words are laid out before the child starts.
    const char* shArgv[MAX_WORDS + 2] = { "/bin/sh" };
    int words = 0;
    while (argv[words] && words < MAX_WORDS) {
        shArgv[words + 1] = argv[words];
        ++words;
    }
    const bool bShFallback = argv[words] == nullptr;
    shArgv[words + 1] = nullptr;

    int pipeFds[2] = { -1, -1 };
    if (out && pipe2(pipeFds, O_CLOEXEC) != 0) {
        _note_run_failure("could not be started: %s", strerror(errno));
        return -1;
    }

    static char* const CHILD_ENV[] = { const_cast<char*>(DVR_CHILD_PATH_ENV), nullptr };
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
                execve(argv[0], const_cast<char* const*>(argv), CHILD_ENV);
                if (errno == ENOEXEC && bShFallback)
                    execve(shArgv[0], const_cast<char* const*>(shArgv), CHILD_ENV);
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
        _note_run_failure("could not be started: %s", strerror(pid < 0 ? errno : execErr));
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
        _note_run_failure("past its deadline of %d s", deadlineSec);
        return -1;
    }
    if (WIFSIGNALED(wstatus))
        _note_run_failure("ended by signal %d", WTERMSIG(wstatus));
    else if (WEXITSTATUS(wstatus) != 0)
        _note_run_failure("ended with status %d", WEXITSTATUS(wstatus));
    if (status)
        *status = WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
    return static_cast<int>(kept);
}

} // namespace

int run_command(const char* const argv[], char* out, size_t outLen, int deadlineSec)
{
    return _run(argv, out, outLen, 0, deadlineSec, nullptr);
}

const char* last_run_failure() { return s_chRunFailure; }

int run_service_script(const char* const argv[])
{
    int status = 0;
    if (_run(argv, nullptr, 0, RUN_SERVICE, 0, &status) < 0)
        return -1;
    return status;
}
