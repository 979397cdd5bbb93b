// The TCP connection of one exchange: connect, send and receive on a socket
// that never blocks, each wait bounded by the silence limit and the deadline.
#include "tcp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base_io.h"
#include "log_line.h"
#include "platform.h"

CTcp::CTcp()
    : m_sockfd(-1)
    , m_bIsConnectSuccess(false)
    , m_iSilenceMs(HTTP_SILENCE_LIMIT_SEC * 1000)
    , m_bDeadline(false)
    , m_deadline()
{
    memset(&m_dest_addr, 0, sizeof(m_dest_addr));
}

CTcp::~CTcp()
{
    if (m_sockfd != -1)
        close(m_sockfd);
}

void CTcp::setDestAddress(const char* pDistAddr, int port)
{
    m_dest_addr.sin_family = AF_INET;
    m_dest_addr.sin_port = htons(static_cast<uint16_t>(port));
    m_dest_addr.sin_addr.s_addr = inet_addr(pDistAddr);
}

void CTcp::closeConnection()
{
    if (m_sockfd != -1) {
        close(m_sockfd);
        m_sockfd = -1;
    }
    memset(&m_dest_addr, 0, sizeof(m_dest_addr));
}

const struct timespec* CTcp::waitEnd(struct timespec* pSilenceEnd) const
{
    if (m_iSilenceMs > 0)
        *pSilenceEnd = moment_after_ms(m_iSilenceMs);
    return earlier_moment(m_iSilenceMs > 0 ? pSilenceEnd : nullptr, m_bDeadline ? &m_deadline : nullptr);
}

int CTcp::waitFor(short events) const
{
    struct timespec silenceEnd;
    const int r = wait_fd(m_sockfd, events, waitEnd(&silenceEnd));
    if (r == 0)
        errno = m_bDeadline && ms_until(&m_deadline) == 0 ? ETIMEDOUT : EAGAIN;
    return r;
}

bool CTcp::connectToDest()
{
    m_bIsConnectSuccess = false;
    // A second connect must not leak the first socket.
    if (m_sockfd >= 0)
        close(m_sockfd);
    // Close-on-exec: a service the program starts later must never hold the
    // backend connection. Non-blocking: every wait is the one wait.
    m_sockfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_sockfd < 0) {
        debug_print("[CTcp::connectToDest]", "socket() fail");
        return false;
    }
    int r = connect(m_sockfd, reinterpret_cast<struct sockaddr*>(&m_dest_addr), sizeof(m_dest_addr));
    // A connect that a signal interrupted may go on in the kernel, or may not
    // have begun: asked again, the kernel says which (EALREADY while it goes
    // on, EISCONN once it is made), or begins it now.
    while (r < 0 && errno == EINTR)
        r = connect(m_sockfd, reinterpret_cast<struct sockaddr*>(&m_dest_addr), sizeof(m_dest_addr));
    if (r < 0 && errno == EISCONN)
        r = 0;
    // A connect in progress: its outcome is waited for, within the silence
    // limit, never started a second time.
    if (r < 0 && (errno == EINPROGRESS || errno == EALREADY)) {
        const bool bHadDeadline = m_bDeadline;
        m_bDeadline = false; // the connect has its own limit only
        r = waitFor(POLLOUT);
        m_bDeadline = bHadDeadline;
        if (r > 0) {
            int err = 0;
            socklen_t len = sizeof(err);
            r = getsockopt(m_sockfd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0 ? 0 : -1;
            if (err != 0)
                errno = err;
        } else {
            if (r == 0)
                errno = ETIMEDOUT;
            r = -1;
        }
    }
    if (r < 0) {
        const int err = errno;
        debug_print("[CTcp::connectToDest]", "connect() fail");
        errno = err;
        return false;
    }
    m_bIsConnectSuccess = true;
    return true;
}

void CTcp::setDeadline(int msFromNow)
{
    m_bDeadline = msFromNow > 0;
    if (m_bDeadline)
        m_deadline = moment_after_ms(msFromNow);
}

int CTcp::sendData(const char* pData, int len)
{
    if (len == 0)
        len = static_cast<int>(strlen(pData));
    if (len < 0) {
        errno = EINVAL;
        return -1;
    }
    for (;;) {
        const ssize_t r = send(m_sockfd, pData, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0 || (errno != EAGAIN && errno != EINTR))
            return static_cast<int>(r);
        if (errno == EAGAIN && waitFor(POLLOUT) <= 0)
            return -1;
    }
}

bool CTcp::sendAll(const char* pData, size_t len)
{
    // A request is small: the whole of it goes within one silence limit.
    struct timespec silenceEnd;
    return send_all(m_sockfd, pData, len, waitEnd(&silenceEnd));
}

int CTcp::recvData(char* pRecvBuf, int len)
{
    if (len < 0) {
        errno = EINVAL;
        return -1;
    }
    for (;;) {
        const ssize_t r = recv(m_sockfd, pRecvBuf, static_cast<size_t>(len), MSG_DONTWAIT);
        if (r >= 0 || (errno != EAGAIN && errno != EINTR))
            return static_cast<int>(r);
        if (errno == EAGAIN && waitFor(POLLIN) <= 0)
            return -1;
    }
}

void CTcp::attachSocket(int fd)
{
    if (m_sockfd >= 0 && m_sockfd != fd)
        close(m_sockfd);
    m_sockfd = fd;
    m_bIsConnectSuccess = fd >= 0;
    if (fd >= 0) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0)
            fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}
