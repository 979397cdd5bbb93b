// The one wait, the write loop, the clock and the percent escapes.
#include "base_io.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int wait_ready(struct pollfd* fds, int count, const struct timespec* deadline)
{
    for (;;) {
        int timeout = -1;
        if (deadline) {
            const long left = ms_until(deadline);
            if (left == 0)
                return 0;
            timeout = left < INT_MAX ? static_cast<int>(left) : INT_MAX;
        }
        const int r = poll(fds, static_cast<nfds_t>(count), timeout);
        // A poll that ran out re-reads the clock: it may wake a little early.
        if (r > 0 || (r < 0 && errno != EINTR))
            return r;
    }
}

int wait_fd(int fd, short events, const struct timespec* deadline)
{
    struct pollfd pfd = { fd, events, 0 };
    return wait_ready(&pfd, 1, deadline);
}

namespace {

// The one write loop. bSocket: sendmsg without SIGPIPE and without blocking,
// each wait for room bounded by the deadline; otherwise a full non-blocking
// descriptor is waited on as long as its reader takes.
bool _write_loop(int fd, struct iovec* iov, int count, bool bSocket, const struct timespec* deadline)
{
    int index = 0;
    while (index < count) {
        if (iov[index].iov_len == 0) {
            index++;
            continue;
        }
        ssize_t n;
        if (bSocket) {
            struct msghdr msg;
            memset(&msg, 0, sizeof(msg));
            msg.msg_iov = iov + index;
            msg.msg_iovlen = static_cast<size_t>(count - index);
            n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        } else {
            n = writev(fd, iov + index, count - index);
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                const int r = wait_fd(fd, POLLOUT, bSocket ? deadline : nullptr);
                if (r == 0)
                    errno = ETIMEDOUT;
                if (r <= 0)
                    return false;
                continue;
            }
            return false;
        }
        size_t left = static_cast<size_t>(n);
        while (index < count && left >= iov[index].iov_len) {
            left -= iov[index].iov_len;
            iov[index].iov_len = 0;
            index++;
        }
        if (index < count) {
            iov[index].iov_base = static_cast<char*>(iov[index].iov_base) + left;
            iov[index].iov_len -= left;
        }
    }
    return true;
}

} // namespace

bool write_all_iov(int fd, struct iovec* iov, int count)
{
    return _write_loop(fd, iov, count, false, nullptr);
}

bool write_all(int fd, const char* p, size_t n)
{
    struct iovec iov = { const_cast<char*>(p), n };
    return _write_loop(fd, &iov, 1, false, nullptr);
}

ssize_t read_some(int fd, void* buf, size_t n)
{
    ssize_t r;
    do {
        r = read(fd, buf, n);
    } while (r < 0 && errno == EINTR);
    return r;
}

bool send_all(int fd, const char* p, size_t n, const struct timespec* deadline)
{
    struct iovec iov = { const_cast<char*>(p), n };
    return _write_loop(fd, &iov, 1, true, deadline);
}

struct timespec moment_after_ms(long ms)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

const struct timespec* earlier_moment(const struct timespec* a, const struct timespec* b)
{
    if (!a || !b)
        return a ? a : b;
    return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec <= b->tv_nsec) ? a : b;
}

long ms_until(const struct timespec* moment)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns = (static_cast<long long>(moment->tv_sec) - now.tv_sec) * 1000000000LL
        + (moment->tv_nsec - now.tv_nsec);
    if (ns <= 0)
        return 0;
    const long long ms = (ns + 999999) / 1000000;
    return ms < LONG_MAX ? static_cast<long>(ms) : LONG_MAX;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void percent_encode(unsigned char ch, char out[3])
{
    static const char HEX_DIGITS[] = "0123456789ABCDEF";
    out[0] = '%';
    out[1] = HEX_DIGITS[ch >> 4];
    out[2] = HEX_DIGITS[ch & 0x0F];
}
