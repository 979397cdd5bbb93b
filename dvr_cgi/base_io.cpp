// The trace hook and the write loop.
#include "base_io.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"

#ifdef DVR_CGI_TRACE
void debug_print(const char* tag, const char* format, ...)
{
    char line[4096];
    int n = snprintf(line, sizeof(line), "%s ", tag);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(line))
        n = 0;
    va_list args;
    va_start(args, format);
    vsnprintf(line + n, sizeof(line) - static_cast<size_t>(n), format, args);
    va_end(args);
    // One write per line, so lines of concurrent CGIs do not interleave in the log.
    size_t len = strlen(line);
    if (len == 0 || line[len - 1] != '\n') {
        if (len + 1 < sizeof(line))
            line[len++] = '\n';
        else
            line[len - 1] = '\n';
    }
    ssize_t ignored = write(STDERR_FILENO, line, len);
    (void)ignored;
}
#endif

namespace {

// The one write loop. bSocket: sendmsg without SIGPIPE, and EAGAIN is the
// socket's send limit running out; otherwise EAGAIN is a full non-blocking
// descriptor, waited on.
bool _write_loop(int fd, struct iovec* iov, int count, bool bSocket)
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
            n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        } else {
            n = writev(fd, iov + index, count - index);
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN && !bSocket) {
                struct pollfd pfd = { fd, POLLOUT, 0 };
                poll(&pfd, 1, -1);
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

namespace {
const char* s_pchProgram = "dvr";
const char* s_pchSubFunc = "request";
const char* s_pchToDo = nullptr;
// The first cause of the run, its whole line; empty until one is noted.
char s_chFailureLine[DVR_FAILURE_LINE_MAX + 1];
size_t s_failureLineLen = 0;
bool s_bFailureWritten = false;

// Servers of the thttpd family give a CGI one pipe for both outputs: a line
// there would become part of the answer. A terminal is no answer, and shows it.
bool _stderr_is_the_answer()
{
    struct stat out, err;
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 && out.st_dev == err.st_dev
        && out.st_ino == err.st_ino && !S_ISCHR(out.st_mode);
}
} // namespace

void set_failure_program(const char* program) { s_pchProgram = program; }

void set_failure_request(const char* subFunc, const char* toDo)
{
    s_pchSubFunc = subFunc;
    s_pchToDo = toDo;
}

void note_failure(const char* format, ...)
{
    if (s_failureLineLen != 0)
        return;
    char* line = s_chFailureLine;
    const size_t size = sizeof(s_chFailureLine);
    int n = snprintf(line, size, "%s: %s%s%s: ", s_pchProgram, s_pchSubFunc, s_pchToDo ? "/" : "",
        s_pchToDo ? s_pchToDo : "");
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < size) {
        va_list args;
        va_start(args, format);
        vsnprintf(line + n, size - static_cast<size_t>(n), format, args);
        va_end(args);
    }
    // Cut to fit, the newline always last.
    size_t len = strnlen(line, DVR_FAILURE_LINE_MAX - 1);
    for (size_t i = 0; i < len; i++) {
        const unsigned char ch = static_cast<unsigned char>(line[i]);
        if (ch < 0x20 || ch == 0x7F)
            line[i] = '?';
    }
    line[len++] = '\n';
    s_failureLineLen = len;
}

void write_failure_line(void)
{
    if (s_failureLineLen == 0 || s_bFailureWritten || _stderr_is_the_answer())
        return;
    s_bFailureWritten = true;
    ssize_t ignored = write(STDERR_FILENO, s_chFailureLine, s_failureLineLen);
    (void)ignored;
}

bool write_all_iov(int fd, struct iovec* iov, int count) { return _write_loop(fd, iov, count, false); }

bool write_all(int fd, const char* p, size_t n)
{
    struct iovec iov = { const_cast<char*>(p), n };
    return _write_loop(fd, &iov, 1, false);
}

bool send_all(int fd, const char* p, size_t n)
{
    struct iovec iov = { const_cast<char*>(p), n };
    return _write_loop(fd, &iov, 1, true);
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

long ms_until(const struct timespec* moment)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ms
        = static_cast<long>(moment->tv_sec - now.tv_sec) * 1000L + (moment->tv_nsec - now.tv_nsec) / 1000000L;
    return ms > 0 ? ms : 0;
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
