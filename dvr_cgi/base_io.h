// The bottom floor of both CGI programs: the trace hook, the write loop and the
// percent escapes, which every other file uses and which use nothing of ours. Plain C as well,
// so that the benchmark's floor writes with the very loop the programs use.
#ifndef DVR_CGI_BASE_IO_H
#define DVR_CGI_BASE_IO_H

#include <stddef.h>
#include <sys/uio.h>
#include <time.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

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

// Writes every byte of the pieces to fd, across short writes, EINTR and a
// non-blocking descriptor (waits until it takes more). False when the reader
// has gone or the write fails otherwise. iov is consumed.
bool write_all_iov(int fd, struct iovec* iov, int count);
bool write_all(int fd, const char* p, size_t n);
// The same loop for a socket: a peer that has gone is a failure, never
// SIGPIPE, and a send that times out (the socket's own send limit) gives up.
bool send_all(int fd, const char* p, size_t n);

// Deadlines on the monotonic clock: the moment ms milliseconds from now, and
// the milliseconds left until a moment (0 once it has passed).
struct timespec moment_after_ms(long ms);
long ms_until(const struct timespec* moment);

// Percent escapes, as every layer writes and reads them: the value of a hex
// digit (-1 for any other byte), and the three bytes "%XX" of a byte.
int hex_value(char c);
void percent_encode(unsigned char ch, char out[3]);

#ifdef __cplusplus
}
#endif

#endif
