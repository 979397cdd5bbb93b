// The fault signal handler pair: a fault or a stop signal ends the run with
// 255, never with a half-written answer.
#ifndef DVR_CGI_FAULT_SIGNAL_H
#define DVR_CGI_FAULT_SIGNAL_H

#include <signal.h>

// Installs the handler for SIGBUS, SIGSEGV, SIGINT, SIGABRT, SIGTERM, SIGHUP
// and SIGURG; the handler ends the tool the run is waiting for, if any, and
// then the process with 255.
void _signal_manager();
void _signal_info_handler(int signal, siginfo_t* siginfo, void* aux);

#endif
