// The lines a run writes to standard error, the web server's log: the trace
// hook and the failure line. Plain C as well, as the bottom floor is.
#ifndef DVR_CGI_LOG_LINE_H
#define DVR_CGI_LOG_LINE_H

#ifdef __cplusplus
extern "C" {
#endif

// Trace hook. Silent in the shipped build; configure with -DDVR_CGI_TRACE=ON to
// send each trace line to standard error (the web server's error log).
#ifdef DVR_CGI_TRACE
void debug_print(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));
#else
__attribute__((format(printf, 2, 3))) static inline void debug_print(const char* tag, const char* format, ...)
{
    (void)tag;
    (void)format;
}
#endif

// The failure line: a run whose answer reports a failure the operator can act
// on writes one line "PROGRAM: REQUEST: WHY" to standard error (the web
// server's log), at most DVR_FAILURE_LINE_MAX bytes (platform.h) with its newline, in one write.
// note_failure keeps the cause; only the first of a run is kept, since it is
// the cause of what follows. write_failure_line writes it once the answer is
// known to report a failure (the responder does so for every failure
// envelope), so an answer that reports success writes nothing. Control bytes
// become '?', so no text can forge a line of the log. The program and request
// words must be fixed texts of the program (its decision table), never text of
// the request; they are kept, not copied. Until a request is named, it is
// "request"; a null todo names the sub-function alone.
void set_failure_program(const char* program);
void set_failure_request(const char* subFunc, const char* toDo);
void note_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));
void write_failure_line(void);

#ifdef __cplusplus
}
#endif

#endif
