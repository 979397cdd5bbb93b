#include "child_start.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>

#include "base_io.h"

namespace {

// The words as execve takes them, ended by a null; valid while words lives.
std::vector<char*> c_words(const std::vector<std::string>& words)
{
    std::vector<char*> out;
    for (const std::string& word : words)
        out.push_back(const_cast<char*>(word.c_str()));
    out.push_back(nullptr);
    return out;
}

} // namespace

int pipe_holding(const std::string& text)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    bool ok = text.size() < 65536 && write_all(fds[1], text.data(), text.size());
    close(fds[1]);
    if (!ok) {
        close(fds[0]);
        return -1;
    }
    return fds[0];
}

void child_take_over(const SChildIo& io)
{
    const int fds[3] = { io.in, io.out, io.err };
    for (int target = 0; target < 3; ++target) {
        if (fds[target] >= 0)
            dup2(fds[target], target);
    }
    setpgid(0, 0);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP)
            sigaction(sig, &dfl, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

void exec_program(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    std::vector<char*> av = c_words(argv), ev = c_words(env);
    execve(av[0], av.data(), ev.data());
}

pid_t start_program(
    const SChildIo& io, const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    std::vector<char*> av = c_words(argv), ev = c_words(env);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const int fds[3] = { io.in, io.out, io.err };
    for (int target = 0; target < 3; ++target) {
        if (fds[target] >= 0)
            posix_spawn_file_actions_adddup2(&fa, fds[target], target);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP));
    pid_t pid;
    int err = posix_spawn(&pid, av[0], &fa, &attr, av.data(), ev.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    return err == 0 ? pid : -1;
}
