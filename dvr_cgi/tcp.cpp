// The blocking TCP connection of one exchange: connect, send and receive,
// each wait bounded by the silence limit, all of them by the exchange's deadline.
#include "tcp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "base_io.h"
#include "log_line.h"
#include "platform.h"

CTcp::CTcp()
    : m_sockfd(-1)
    , m_bIsConnectSuccess(false)
    , m_iSilenceMs(0)
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

// A connect interrupted by a signal goes on in the kernel; wait for its outcome
// instead of starting a second one, no longer than a connect may take.
static int _finish_interrupted_connect(int fd)
{
    struct pollfd pfd = { fd, POLLOUT, 0 };
    int r;
    do {
        r = poll(&pfd, 1, HTTP_SILENCE_LIMIT_SEC * 1000);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) {
        errno = r == 0 ? ETIMEDOUT : errno;
        return -1;
    }
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return -1;
    errno = err;
    return err != 0 ? -1 : 0;
}

bool CTcp::connectToDest()
{
    m_bIsConnectSuccess = false;
    // A second connect must not leak the first socket.
    if (m_sockfd >= 0)
        close(m_sockfd);
    // Close-on-exec: a service the program starts later must never hold the backend connection.
    m_sockfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_sockfd < 0) {
        debug_print("[CTcp::connectToDest]", "socket() fail");
        return false;
    }
    // A peer that accepts and then stays silent must not hold the run: connect,
    // each send and each receive give up after the silence limit (connect then
    // fails with EINPROGRESS, a receive with EAGAIN, which callers take as an
    // answer that ended early).
    setSilenceLimit(HTTP_SILENCE_LIMIT_SEC * 1000);
    setDeadline(HTTP_EXCHANGE_DEADLINE_SEC * 1000);
    int r = connect(m_sockfd, reinterpret_cast<struct sockaddr*>(&m_dest_addr), sizeof(m_dest_addr));
    if (r < 0 && errno == EINTR)
        r = _finish_interrupted_connect(m_sockfd);
    if (r < 0) {
        // The send limit ends a connect with EINPROGRESS: one that timed out.
        const int err = errno == EINPROGRESS || errno == EAGAIN ? ETIMEDOUT : errno;
        debug_print("[CTcp::connectToDest]", "connect() fail");
        errno = err;
        return false;
    }
    m_bIsConnectSuccess = true;
    return true;
}

int CTcp::sendData(const char* pData, int len)
{
    if (len == 0)
        len = static_cast<int>(strlen(pData));
    if (len < 0) {
        errno = EINVAL;
        return -1;
    }
    if (!__boundWait(SO_SNDTIMEO))
        return -1;
    ssize_t r;
    do {
        r = send(m_sockfd, pData, static_cast<size_t>(len), MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return static_cast<int>(r);
}

bool CTcp::sendAll(const char* pData, size_t len)
{
    if (!__boundWait(SO_SNDTIMEO))
        return false;
    return send_all(m_sockfd, pData, len, nullptr);
}

int CTcp::recvData(char* pRecvBuf, int len)
{
    if (len < 0) {
        errno = EINVAL;
        return -1;
    }
    if (!__boundWait(SO_RCVTIMEO))
        return -1;
    ssize_t r;
    do {
        r = recv(m_sockfd, pRecvBuf, static_cast<size_t>(len), 0);
    } while (r < 0 && errno == EINTR);
    return static_cast<int>(r);
}

static bool _set_wait(int fd, int optname, int ms)
{
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, optname, &tv, sizeof(tv)) == 0;
}

bool CTcp::setSilenceLimit(int ms)
{
    m_iSilenceMs = ms;
    return _set_wait(m_sockfd, SO_RCVTIMEO, ms) && _set_wait(m_sockfd, SO_SNDTIMEO, ms);
}

void CTcp::setDeadline(int msFromNow)
{
    m_deadline.tv_sec = 0;
    m_deadline.tv_nsec = 0;
    if (msFromNow > 0)
        m_deadline = moment_after_ms(msFromNow);
}

bool CTcp::isPastDeadline() const { return m_deadline.tv_sec != 0 && ms_until(&m_deadline) == 0; }

bool CTcp::__boundWait(int optname)
{
    if (m_deadline.tv_sec == 0)
        return true;
    const long leftMs = ms_until(&m_deadline);
    if (leftMs == 0) {
        // Past the deadline an answer ends as one that fell silent.
        errno = EAGAIN;
        return false;
    }
    // The socket keeps the silence limit until the deadline is nearer than it;
    // only then does a wait cost a call more.
    if (m_iSilenceMs != 0 && leftMs >= m_iSilenceMs)
        return true;
    return _set_wait(m_sockfd, optname, static_cast<int>(leftMs));
}

void CTcp::attachSocket(int fd)
{
    if (m_sockfd >= 0 && m_sockfd != fd)
        close(m_sockfd);
    m_sockfd = fd;
    m_bIsConnectSuccess = fd >= 0;
}
