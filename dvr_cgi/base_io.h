// The bottom floor of both CGI programs: the one wait, the write loop, the
// clock and the percent escapes, which every other file uses and which use
// nothing of ours. Plain C as well, so that the benchmark's floor writes with
// the very loop the programs use.
#ifndef DVR_CGI_BASE_IO_H
#define DVR_CGI_BASE_IO_H

#include <poll.h>
#include <stddef.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The one wait of the programs: poll until one of the count descriptors is
// ready for its events, or until the deadline, a moment on the monotonic clock
// (null: none). A signal does not end the wait. The number of descriptors
// ready (their revents set), 0 once the deadline has passed, -1 when poll fails.
int wait_ready(struct pollfd* fds, int count, const struct timespec* deadline);
// The same for one descriptor: 1 ready, 0 past the deadline, -1 failure.
int wait_fd(int fd, short events, const struct timespec* deadline);

// Writes every byte of the pieces to fd, across short writes, EINTR and a
// non-blocking descriptor (waits until it takes more). False when the reader
// has gone or the write fails otherwise. iov is consumed.
bool write_all_iov(int fd, struct iovec* iov, int count);
bool write_all(int fd, const char* p, size_t n);
// One read, made again when a signal interrupted it: what read(2) returns.
ssize_t read_some(int fd, void* buf, size_t n);
// The same loop for a socket: a peer that has gone is a failure, never
// SIGPIPE; each wait for room ends at the deadline (null: none), after which
// the send fails with ETIMEDOUT.
bool send_all(int fd, const char* p, size_t n, const struct timespec* deadline);

// Deadlines on the monotonic clock: the moment ms milliseconds from now, the
// earlier of two moments, and the milliseconds left until a moment, rounded
// up (0 once it has passed).
struct timespec moment_after_ms(long ms);
const struct timespec* earlier_moment(const struct timespec* a, const struct timespec* b);
long ms_until(const struct timespec* moment);

// Percent escapes, as every layer writes and reads them: the value of a hex
// digit (-1 for any other byte), and the three bytes "%XX" of a byte.
int hex_value(char c);
void percent_encode(unsigned char ch, char out[3]);

#ifdef __cplusplus
}
#endif

#endif
