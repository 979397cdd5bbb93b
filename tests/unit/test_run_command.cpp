// Starting commands: no shell, a fixed environment, only descriptors 0-2, and
// a bounded capture of the output. Each case runs in its own forked child so
// that environment changes, extra descriptors and reaped children stay there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "base_io.h"
#include "child_run.h"
#include "fault_signal.h"
#include "run_command.h"

namespace {

// Runs argv with a capture buffer of outLen bytes (plus a guard) within
// limitMs and writes "<count>|<kept bytes>|<guard intact>", and "|<why>" when
// it did not succeed, to fd 1 for the parent to compare.
int captureAndReport(const char* const argv[], size_t outLen, long limitMs = 0)
{
    // What the program writes to standard error is not under test here.
    int nullFd = open("/dev/null", O_WRONLY);
    dup2(nullFd, 2);
    close(nullFd);
    std::string out(outLen + 1, '\0');
    out[outLen] = '#';
    int n = run_command(argv, &out[0], outLen, limitMs);
    std::string report = std::to_string(n) + "|";
    if (n > 0)
        report.append(out.data(), static_cast<size_t>(n));
    report += out[outLen] == '#' ? "|guard" : "|overrun";
    if (*last_run_failure())
        report += std::string("|") + last_run_failure();
    ssize_t ignored = write(1, report.data(), report.size());
    (void)ignored;
    return 0;
}

std::string capture(const char* const argv[], size_t outLen = 4096, long limitMs = 0)
{
    return run_in_child([&]() { return captureAndReport(argv, outLen, limitMs); }).out;
}

std::string shellCapture(const char* script, size_t outLen, long limitMs)
{
    const char* argv[] = { "/bin/sh", "-c", script, nullptr };
    return capture(argv, outLen, limitMs);
}

} // namespace

TEST(RunCommand, OutputIsCapturedAndCounted)
{
    struct {
        const char* label;
        const char* script;
        size_t outLen;
        std::string expected;
        long limitMs = 0;
    } cases[] = {
        { "one line", "echo hello", 4096, "6|hello\n|guard" },
        { "no output", "true", 4096, "0||guard" },
        { "exit status not a failure", "echo x; exit 3", 4096, "2|x\n|guard|ended with status 3" },
        { "kept up to the buffer", "printf abcdefgh", 5, "5|abcde|guard" },
        { "exactly the buffer", "printf abcde", 5, "5|abcde|guard" },
        { "stderr is not captured", "echo err >&2; echo out", 4096, "4|out\n|guard" },
        { "output in pieces", "printf ab; sleep 0.1; printf cd", 4096, "4|abcd|guard" },
        { "hangs: ended at its limit", "echo 80; exec sleep 10", 4096,
            "-1||guard|past its deadline of 300 ms", 300 },
        { "closes its output, then hangs", "exec >&-; exec sleep 10", 4096,
            "-1||guard|past its deadline of 300 ms", 300 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.expected, shellCapture(c.script, c.outLen, c.limitMs));
    }
}

TEST(RunCommand, ArgumentsReachTheProgramAsWords)
{
    // Shell syntax in an argument is plain text to the program.
    const char* marker = "/tmp/dvr_unit_runcmd_marker";
    unlink(marker);
    const char* argv[] = { "/bin/echo", "$(touch /tmp/dvr_unit_runcmd_marker)", "`id`;", "a b", nullptr };
    const std::string printed = "$(touch /tmp/dvr_unit_runcmd_marker) `id`; a b\n";
    EXPECT_EQ(std::to_string(printed.size()) + "|" + printed + "|guard", capture(argv));
    EXPECT_NE(0, access(marker, F_OK));
    unlink(marker);
}

TEST(RunCommand, ProgramThatCannotStart)
{
    const char* missing[] = { "/nonexistent/program", nullptr };
    EXPECT_EQ("-1||guard|missing", capture(missing));
#ifndef DVR_UNDER_EMULATOR // qemu-user reports neither the access check nor the failed exec
    char notExecutable[] = "/tmp/dvr_unit_noexec_XXXXXX";
    int fd = mkstemp(notExecutable);
    ASSERT_LE(0, fd);
    close(fd);
    const char* notRunnable[] = { notExecutable, nullptr };
    EXPECT_EQ("-1||guard|Permission denied", capture(notRunnable));
    unlink(notExecutable);
#endif
    // Without a capture buffer the result is the same.
    ChildResult r = run_in_child([]() {
        const char* argv[] = { "/nonexistent/program", nullptr };
        return run_command(argv, nullptr, 0, 0) == -1 ? 0 : 1;
    });
    EXPECT_EQ(0, r.exitCode());
}

// Whatever the web server left to the CGI, a command starts as under a shell.
TEST(RunCommand, StartsAsUnderAShell)
{
    ChildResult blocked = run_in_child([]() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        signal(SIGINT, SIG_IGN);
        signal(SIGPIPE, SIG_IGN);
        // Left ignored, SIGCHLD would have the child reaped unseen, its status lost.
        signal(SIGCHLD, SIG_IGN);
        const char* argv[] = { "/bin/sh", "-c", "grep -E '^Sig(Blk|Ign)' /proc/$$/status; exit 3", nullptr };
        return captureAndReport(argv, 4096);
    });
    EXPECT_EQ(
        "50|SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n|guard|ended with status 3", blocked.out);

#ifndef DVR_UNDER_EMULATOR // qemu-user runs spawn's child as a copy: its failed exec never reaches us
    char script[] = "/tmp/dvr_unit_noshebang_XXXXXX";
    int fd = mkstemp(script);
    ASSERT_LE(0, fd);
    ASSERT_EQ(16, write(fd, "echo plain \"$1\"\n", 16));
    close(fd);
    chmod(script, 0755);
    const char* argv[] = { script, "a b", nullptr };
    EXPECT_EQ("10|plain a b\n|guard", capture(argv)) << "a script without #! runs through /bin/sh";
    unlink(script);
#endif
}

// A command gets the web server's environment (a firmware's library path, time
// zone) less what carries the request, and the fixed PATH where none is left.
TEST(RunCommand, EnvironmentIsTheWebServersLessTheRequest)
{
    ChildResult r = run_in_child([]() {
        // The request's (a client's "Proxy:" header, a query, its address, a
        // path that is no search path) among the firmware's.
        static char env[][40] = { "HTTP_PROXY=http://attacker.example:3128", "QUERY_STRING=subfunc=info",
            "REMOTE_ADDR=10.0.0.9", "HTTPS=on", "LD_LIBRARY_PATH=/opt/nas/lib", "PATH_INFO=/usr/bin",
            "TZ=CET-1CEST" };
        clearenv();
        for (char* kv : env)
            putenv(kv);
        const char* argv[] = { "/usr/bin/env", nullptr };
        return captureAndReport(argv, 4096);
    });
    EXPECT_EQ(
        "77|LD_LIBRARY_PATH=/opt/nas/lib\nTZ=CET-1CEST\nPATH=/sbin:/usr/sbin:/bin:/usr/bin\n|guard", r.out);
}

TEST(RunCommand, OnlyStandardDescriptorsAreInherited)
{
    ChildResult r = run_in_child([]() {
        // A descriptor left open without close-on-exec, far from the usual ones.
        int fd = open("/dev/null", O_RDONLY);
        if (fd < 0 || dup2(fd, 57) < 0)
            return 1;
        int p[2];
        if (pipe(p) != 0)
            return 1;
        const char* argv[] = { "/bin/sh", "-c",
            "i=3; while [ $i -lt 1024 ]; do [ -e /proc/$$/fd/$i ] && printf 'fd%s ' $i; i=$((i+1)); done;"
            " echo end",
            nullptr };
        return captureAndReport(argv, 4096);
    });
    EXPECT_EQ("4|end\n|guard", r.out);
}

TEST(RunCommand, StandardInputIsDevNull)
{
    // Our standard input holds text and its write end stays open: a child that
    // inherited it would either see the text or wait until the watchdog fires.
    ChildOptions opt;
    opt.timeoutSec = 5;
    ChildResult r = run_in_child(
        []() {
            int p[2];
            if (pipe(p) != 0 || write(p[1], "request body", 12) != 12)
                return 1;
            dup2(p[0], 0);
            const char* argv[] = { "/bin/sh", "-c", "cat; readlink /proc/$$/fd/0", nullptr };
            return captureAndReport(argv, 4096);
        },
        opt);
    ASSERT_TRUE(r.exited()) << "killed by signal " << r.termSignal();
    EXPECT_EQ("10|/dev/null\n|guard", r.out);
}

TEST(RunCommand, OutputBeyondTheBufferIsDroppedWithoutHanging)
{
    // One MiB from the program; the child must still end and be waited for.
    ChildResult r = run_in_child([]() {
        char out[16];
        memset(out, 0, sizeof out);
        const char* argv[] = { "/bin/sh", "-c", "yes abcdefgh | head -c 1048576", nullptr };
        int n = run_command(argv, out, sizeof out, 0);
        if (n != 16 || memcmp(out, "abcdefgh\nabcdefg", 16) != 0)
            return 1;
        // Waited for: no child of ours is left, not even a zombie.
        if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD)
            return 2;
        return 0;
    });
    ASSERT_TRUE(r.exited()) << "killed by signal " << r.termSignal();
    EXPECT_EQ(0, r.exitCode());
}

TEST(RunCommand, WithoutBufferOutputGoesToStandardError)
{
    ChildResult r = run_in_child([]() {
        // Our standard error is the capture pipe, standard output /dev/null.
        dup2(1, 2);
        int nullFd = open("/dev/null", O_WRONLY);
        dup2(nullFd, 1);
        close(nullFd);
        const char* argv[] = { "/bin/sh", "-c", "echo to-log", nullptr };
        int n = run_command(argv, nullptr, 0, 0);
        return n == 0 ? 0 : 1;
    });
    EXPECT_EQ(0, r.exitCode());
    EXPECT_EQ("to-log\n", r.out);
}

TEST(RunCommand, ChildIsReapedOnEveryPath)
{
    ChildResult r = run_in_child([]() {
        char out[64];
        const char* quiet[] = { "/bin/true", nullptr };
        const char* failing[] = { "/bin/false", nullptr };
        const char* killed[] = { "/bin/sh", "-c", "kill -9 $$", nullptr };
        const char* hangs[] = { "/bin/sleep", "10", nullptr };
        if (run_command(quiet, out, sizeof out, 0) != 0 || run_command(failing, out, sizeof out, 0) != 0
            || run_command(killed, out, sizeof out, 0) != 0 || run_command(quiet, nullptr, 0, 0) != 0
            || run_command(hangs, out, sizeof out, 100) != -1)
            return 1;
        if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD)
            return 2;
        return 0;
    });
    EXPECT_EQ(0, r.exitCode());
}

// The web server ends a CGI whose client went away (SIGTERM); a tool it was
// waiting for (a stalled transfer) must end with it rather than linger.
TEST(RunCommand, ToolEndsWhenTheWebServerEndsTheCgi)
{
    char dir[] = "/tmp/dvr_unit_pdeath_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string pidFile = std::string(dir) + "/pid";
    ChildResult r = run_in_child([&]() {
        const pid_t cgi = getpid();
        if (fork() == 0) {
            for (int i = 0; i < 500 && access(pidFile.c_str(), F_OK) != 0; i++)
                usleep(10000);
            usleep(50000);
            kill(cgi, SIGTERM);
            _exit(0);
        }
        _signal_manager();
        const std::string script = "echo $$ > " + pidFile + ".tmp && mv " + pidFile + ".tmp " + pidFile
            + " && exec setsid sleep 30"; // its own session: nothing but the CGI can end it
        const char* argv[] = { "/bin/sh", "-c", script.c_str(), nullptr };
        run_command(argv, nullptr, 0, 0);
        return 0;
    });
    EXPECT_EQ(255, r.exitCode());
    FILE* f = fopen(pidFile.c_str(), "r");
    ASSERT_NE(nullptr, f);
    int tool = 0;
    ASSERT_EQ(1, fscanf(f, "%d", &tool));
    fclose(f);
    // Gone, or a zombie waiting for its new parent to reap it.
    bool alive = true;
    for (int i = 0; i < 200 && alive; i++) {
        char path[64];
        snprintf(path, sizeof(path), "/proc/%d/stat", tool);
        FILE* st = fopen(path, "r");
        char state = 'X';
        if (st) {
            if (fscanf(st, "%*d (%*[^)]) %c", &state) != 1)
                state = 'X';
            fclose(st);
        }
        alive = st && state != 'Z' && state != 'X';
        if (alive)
            usleep(10000);
    }
    EXPECT_FALSE(alive) << "the tool (pid " << tool << ") outlived the killed CGI";
    kill(tool, SIGKILL);
    unlink(pidFile.c_str());
    rmdir(dir);
}
