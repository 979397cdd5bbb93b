// The fault signal handler pair: a fault or a stop signal ends the process
// with 255, never with a half-written answer.
#include "fault_signal.h"

#include <execinfo.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "log_line.h"
#include "run_command.h"

namespace {

// The signals the fault handler pair takes over.
const int HANDLED_SIGNALS[] = { SIGBUS, SIGSEGV, SIGINT, SIGABRT, SIGTERM, SIGHUP, SIGURG };

} // namespace

void _signal_info_handler(int signal, siginfo_t* siginfo, void* aux)
{
    (void)aux;
    // A tool we wait for must not outlive the run: spawn cannot give it a
    // parent-death signal, so the handler ends it (a stalled transfer, when the
    // web server ends the run of a client that went away).
    end_running_tool();
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
    for (int sig : HANDLED_SIGNALS) {
        sigaction(sig, &sig_act, nullptr);
        sigaddset(&handled, sig);
    }
    // A handler that can never run is no handler: a web server may start the
    // CGI with these signals blocked.
    sigprocmask(SIG_UNBLOCK, &handled, nullptr);
}
