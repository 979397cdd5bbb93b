// Starting a child process, for the unit tests, the stand-ins and the
// benchmark: the one place that lays out a child's standard descriptors and
// the state it starts in.
#ifndef SANDBOX_STANDIN_CHILD_START_H
#define SANDBOX_STANDIN_CHILD_START_H

#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

// What the child gets as its descriptors 0, 1 and 2; -1 keeps ours.
struct SChildIo {
    int in = -1;
    int out = -1;
    int err = -1;
};

// A pipe holding text and then its end, as a child's standard input: its read
// end (close-on-exec), or -1. The text must fit the pipe (below 64 KiB).
int pipe_holding(const std::string& text);

// In a child just forked: io on 0-2, a process group of its own (so that what
// it leaves behind can be ended as one), and the state a CGI run starts in:
// every signal at its default action and none blocked.
void child_take_over(const SChildIo& io);

// Forks a child that takes io as child_take_over does, runs fn and ends with
// _exit(fn's result), so that no exit code of the caller runs there. The
// child's id, or -1.
template <typename Fn> pid_t start_child(const SChildIo& io, Fn fn)
{
    pid_t pid = fork();
    if (pid == 0) {
        child_take_over(io);
        _exit(fn());
    }
    return pid;
}

// Executes argv with env in this process, a child just started; returns only
// when it cannot.
void exec_program(const std::vector<std::string>& argv, const std::vector<std::string>& env);

// Starts argv with env the same way, without a copy of this process and
// without any code of ours in the child (posix_spawn): a timed start costs what
// a web server's start of a CGI costs. The child's id, or -1.
pid_t start_program(
    const SChildIo& io, const std::vector<std::string>& argv, const std::vector<std::string>& env);

#endif
