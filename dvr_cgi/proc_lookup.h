// Finding a process by its command name in /proc, with the hint that makes the
// common check cheap. A process that has ended and waits to be reaped (state Z
// or X) runs no more, and is never reported.
#ifndef DVR_CGI_PROC_LOOKUP_H
#define DVR_CGI_PROC_LOOKUP_H

#include <sys/types.h>

// A heap list of the ids of every running process with this command name, in
// /proc directory order, ended by 0; null for none. Caller frees.
pid_t* find_pid_by_name(const char* pidName);
// The same scan over another proc root, for tests.
pid_t* _find_pid_by_name_in(const char* procRoot, const char* pidName);
// Whether a process of this name runs: the same answer as a non-null
// find_pid_by_name, from a cheaper scan that stops at the first match, asks
// the last match first and then the process named by the hint file (none when
// hintPath is null); a scan that finds one rewrites the hint.
bool is_process_exist(const char* name);
bool _is_process_exist_in(const char* procRoot, const char* name, const char* hintPath = nullptr);

#endif
