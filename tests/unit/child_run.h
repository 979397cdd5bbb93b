// Runs a piece of test code in a forked child with its standard output captured.
// The responder, the signal handler and the command starter end or take over the
// process, so their tests watch them from outside: the bytes written to fd 1 and
// how the child ended.
#ifndef TESTS_UNIT_CHILD_RUN_H
#define TESTS_UNIT_CHILD_RUN_H

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "child_start.h"

struct ChildResult {
    std::string out; // every byte the child wrote to fd 1
    int status = -1; // raw wait status; -1 when the child could not be started

    bool exited() const { return status != -1 && WIFEXITED(status); }
    int exitCode() const { return exited() ? WEXITSTATUS(status) : -1; }
    bool signaled() const { return status != -1 && WIFSIGNALED(status); }
    int termSignal() const { return signaled() ? WTERMSIG(status) : 0; }
};

// What the child's standard input is: /dev/null, or a pipe holding stdinText
// whose write end is closed (the child reads the text, then end of file).
struct ChildOptions {
    bool feedStdin = false;
    std::string stdinText;
    unsigned timeoutSec = 20; // a child still running then is ended with SIGKILL
};

namespace child_run_detail {

inline int64_t nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace child_run_detail

// Runs fn() in a child started as start_child starts it, as a CGI run starts:
// every signal at its default, nothing blocked; fn may also end the process
// itself (exit, a signal). Never use gtest assertions inside fn:
// the framework prints to fd 1, which is the capture pipe.
template <typename Fn> ChildResult run_in_child(Fn fn, const ChildOptions& opt = ChildOptions())
{
    ChildResult res;
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return res;
    // The text is written before the fork; keep it below the pipe capacity.
    SChildIo io;
    io.in = opt.feedStdin ? pipe_holding(opt.stdinText) : open("/dev/null", O_RDONLY | O_CLOEXEC);
    io.out = outPipe[1];
    pid_t pid = io.in < 0 ? -1 : start_child(io, [&]() {
        // No core files from the faults that some tests provoke.
        struct rlimit noCore = { 0, 0 };
        setrlimit(RLIMIT_CORE, &noCore);
        return fn();
    });
    close(outPipe[1]);
    if (io.in >= 0)
        close(io.in);
    if (pid < 0) {
        close(outPipe[0]);
        return res;
    }
    // The deadline is kept here, not in the child: a child's own alarm could be
    // caught by a handler under test, and a watchdog process would show up
    // among the child's children.
    const int64_t deadline = child_run_detail::nowMs() + static_cast<int64_t>(opt.timeoutSec) * 1000;
    bool timedOut = false;
    char buf[65536];
    for (;;) {
        int64_t left = deadline - child_run_detail::nowMs();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        struct pollfd pfd = { outPipe[0], POLLIN, 0 };
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        ssize_t n = read(outPipe[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        res.out.append(buf, static_cast<size_t>(n));
    }
    close(outPipe[0]);
    if (timedOut)
        kill(-pid, SIGKILL);
    for (;;) {
        pid_t w = waitpid(pid, &res.status, WNOHANG);
        if (w == pid || (w < 0 && errno != EINTR))
            break;
        if (w == 0 && child_run_detail::nowMs() >= deadline)
            kill(-pid, SIGKILL);
        usleep(1000);
    }
    // Anything the child left behind in its process group.
    kill(-pid, SIGKILL);
    return res;
}

#endif
