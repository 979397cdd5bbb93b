// The fault signal handler: which signals end a run with status 255, which keep
// their default action, and how the handler is installed.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "child_run.h"
#include "fault_signal.h"

namespace {

// Status a child ends with when the signal did not end it.
const int SURVIVED = 42;

// Raises sig in a fresh child, with or without the handler installed.
ChildResult raiseInChild(int sig, bool install)
{
    return run_in_child([=]() {
        if (install)
            _signal_manager();
        raise(sig);
        return SURVIVED;
    });
}

// A real invalid memory access, not a raised signal: a store into a page
// without access rights (not a null pointer, which the sanitizer build would
// report itself before the processor faults).
int faultInChild(bool install)
{
    void* page
        = mmap(nullptr, static_cast<size_t>(getpagesize()), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED)
        return 1;
    if (install)
        _signal_manager();
    volatile int* volatile target = static_cast<int*>(page);
    *target = 1;
    return SURVIVED;
}

} // namespace

TEST(FaultSignals, HandledSignalsEndWithStatus255)
{
    struct {
        const char* label;
        int sig;
    } cases[] = {
        { "SIGBUS", SIGBUS },
        { "SIGSEGV", SIGSEGV },
        { "SIGINT", SIGINT },
        { "SIGABRT", SIGABRT },
        { "SIGTERM", SIGTERM },
        { "SIGHUP", SIGHUP },
        { "SIGURG", SIGURG },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ChildResult r = raiseInChild(c.sig, true);
        ASSERT_TRUE(r.exited()) << "killed by signal " << r.termSignal();
        EXPECT_EQ(255, r.exitCode());
        EXPECT_EQ("", r.out);
    }
}

TEST(FaultSignals, RealFaultAndAbortEndWithStatus255)
{
    ChildResult fault = run_in_child([]() { return faultInChild(true); });
    ASSERT_TRUE(fault.exited()) << "killed by signal " << fault.termSignal();
    EXPECT_EQ(255, fault.exitCode());

    ChildResult aborted = run_in_child([]() {
        _signal_manager();
        abort();
        return SURVIVED;
    });
    ASSERT_TRUE(aborted.exited()) << "killed by signal " << aborted.termSignal();
    EXPECT_EQ(255, aborted.exitCode());
}

TEST(FaultSignals, TerminationFromAnotherProcessKeepsEarlierOutput)
{
    // As when the web server ends a slow run: what was written stays written,
    // nothing is added, and the status is 255.
    ChildResult r = run_in_child([]() {
        _signal_manager();
        static const char PARTIAL[] = "Connection: Close\r\n";
        ssize_t ignored = write(1, PARTIAL, sizeof PARTIAL - 1);
        (void)ignored;
        pid_t self = getpid();
        if (fork() == 0) {
            kill(self, SIGTERM);
            _exit(0);
        }
        for (;;)
            pause();
        return SURVIVED;
    });
    ASSERT_TRUE(r.exited()) << "killed by signal " << r.termSignal();
    EXPECT_EQ(255, r.exitCode());
    EXPECT_EQ("Connection: Close\r\n", r.out);
}

TEST(FaultSignals, DefaultActionsBeforeInstallation)
{
    struct {
        const char* label;
        int sig;
    } killers[] = {
        { "SIGTERM", SIGTERM },
        { "SIGSEGV", SIGSEGV },
        { "SIGINT", SIGINT },
        { "SIGHUP", SIGHUP },
    };
    for (const auto& c : killers) {
        SCOPED_TRACE(c.label);
        ChildResult r = raiseInChild(c.sig, false);
        ASSERT_TRUE(r.signaled()) << "exited with " << r.exitCode();
        EXPECT_EQ(c.sig, r.termSignal());
    }
    ChildResult fault = run_in_child([]() { return faultInChild(false); });
    ASSERT_TRUE(fault.signaled()) << "exited with " << fault.exitCode();
    EXPECT_EQ(SIGSEGV, fault.termSignal());
    // Urgent data is ignored by default.
    EXPECT_EQ(SURVIVED, raiseInChild(SIGURG, false).exitCode());
}

TEST(FaultSignals, OtherSignalsKeepTheirDefaultAfterInstallation)
{
    struct {
        const char* label;
        int sig;
    } cases[] = {
        { "SIGPIPE", SIGPIPE },
        { "SIGQUIT", SIGQUIT },
        { "SIGALRM", SIGALRM },
        { "SIGUSR1", SIGUSR1 },
        { "SIGFPE", SIGFPE },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ChildResult r = raiseInChild(c.sig, true);
        ASSERT_TRUE(r.signaled()) << "exited with " << r.exitCode();
        EXPECT_EQ(c.sig, r.termSignal());
    }
    EXPECT_EQ(SURVIVED, raiseInChild(SIGCHLD, true).exitCode());
    EXPECT_EQ(SURVIVED, raiseInChild(SIGWINCH, true).exitCode());
}

TEST(FaultSignals, InstalledActionRecord)
{
    // Queried in a child so the test process keeps its own dispositions.
    ChildResult r = run_in_child([]() {
        _signal_manager();
        const int handled[] = { SIGBUS, SIGSEGV, SIGINT, SIGABRT, SIGTERM, SIGHUP, SIGURG };
        const unsigned unwantedFlags = SA_RESTART | SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
        int bad = 0;
        for (int sig : handled) {
            struct sigaction act;
            memset(&act, 0, sizeof act);
            sigaction(sig, nullptr, &act);
            bool ok = (act.sa_flags & SA_SIGINFO) != 0
                && (static_cast<unsigned>(act.sa_flags) & unwantedFlags) == 0
                && act.sa_sigaction == _signal_info_handler;
            for (int other = 1; other < NSIG && ok; ++other) {
                if (sigismember(&act.sa_mask, other) == 1)
                    ok = false;
            }
            if (!ok)
                bad = bad * 100 + sig;
        }
        struct sigaction pipeAct;
        sigaction(SIGPIPE, nullptr, &pipeAct);
        if (pipeAct.sa_handler != SIG_DFL)
            bad = 99;
        return bad > 250 ? 250 : bad;
    });
    EXPECT_EQ(0, r.exitCode()) << "signal(s) with a wrong record, packed as decimal pairs";
}
