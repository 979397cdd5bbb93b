// The transport-stream relay: takes over the process for a "video/mp2t" answer
// and moves the stream to the browser until either side ends it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base_io.h"
#include "chunk_decoder.h"
#include "log_line.h"
#include "small_http.h"

namespace {

// What the browser gets in front of a relayed stream instead of the backend's own header block.
const char RELAY_HEADER[] = "Server: HTS/tvheadend\r\n"
                            "Cache-Control: no-cache\r\n"
                            "Connection: Close\r\n"
                            "Content-Type: video/mp2t\r\n"
                            "\r\n";
const size_t RELAY_HEADER_LEN = sizeof(RELAY_HEADER) - 1;

// Waits until the answer pipe takes more, as long as its reader takes: a slow
// reader is no silence of the source.
void _wait_for_room(int fd)
{
    struct pollfd pfd = { fd, POLLOUT, 0 };
    poll(&pfd, 1, -1);
}

// Waits until the stream's source sends more; one that stays silent for the
// relay's silence limit has lost its signal, and the stream ends with it.
void _wait_for_source(int sock)
{
    struct pollfd pfd = { sock, POLLIN, 0 };
    int r;
    do {
        r = poll(&pfd, 1, HTTP_RELAY_SILENCE_LIMIT_SEC * 1000);
    } while (r < 0 && errno == EINTR);
    if (r == 0)
        exit(0);
}

} // namespace

void CSmallHttp::__relayTransportStream(const char* pEarly, int earlyCount)
{
    // Allocated once, in the process image, and touched only when a stream is relayed.
    static char s_workBuf[HTTP_RELAY_PIECE_SIZE];

    // A chunked stream is decoded on its way; the chunk lines never reach the player.
    CChunkDecoder decoder;
    // Our own header lines and the stream bytes that came with the backend's
    // header block, in one write.
    memcpy(s_workBuf, RELAY_HEADER, RELAY_HEADER_LEN);
    memcpy(s_workBuf + RELAY_HEADER_LEN, pEarly, static_cast<size_t>(earlyCount));
    long early = earlyCount;
    if (m_bChunked)
        early = decoder.decode(s_workBuf + RELAY_HEADER_LEN, static_cast<size_t>(earlyCount));
    size_t firstLen = RELAY_HEADER_LEN + static_cast<size_t>(early > 0 ? early : 0);
    bool written = write_all(STDOUT_FILENO, s_workBuf, firstLen);
    debug_print(
        "[CSmallHttp::getHttpRespondEntiyBody] A <=== B  ", "writenLen:%d", static_cast<int>(firstLen));
    if (!written || early < 0 || decoder.isDone())
        exit(0);

    // From here on the relay never waits inside a read or a splice: while a
    // splice waits for the source it holds the answer pipe's lock, and a web
    // server that looks at that pipe (lighttpd asks how much it holds) would
    // sleep with every other request it serves. So the socket does not block,
    // the pipe is spliced into without blocking, and every wait is a poll: for
    // the source, up to the silence limit (a source that falls silent ends the
    // stream; one that keeps sending is never cut), and for a full pipe, as long
    // as its reader takes (a slow reader is no silence of the source).
    m_tcpConnection.setDeadline(0);
    int sock = m_tcpConnection.getSocket();
    const int flags = fcntl(sock, F_GETFL);
    if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0)
        exit(0);
    struct stat st;
    bool bSplice = !m_bChunked && fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode);
    // A splice fails alike for a full pipe and for a source with nothing to
    // give. While a stream flows it is nearly always the pipe, so that is
    // waited for first; failing again right after, it is the source.
    bool bPipeWaited = false;
    for (;;) {
        if (bSplice) {
            // Into a pipe the kernel moves the stream without copying it through us.
            ssize_t n = splice(sock, nullptr, STDOUT_FILENO, nullptr, HTTP_RELAY_SPLICE_SIZE,
                SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                bPipeWaited = false;
                continue;
            }
            if (n == 0)
                exit(0);
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                if (bPipeWaited)
                    _wait_for_source(sock);
                else
                    _wait_for_room(STDOUT_FILENO);
                bPipeWaited = !bPipeWaited;
                continue;
            }
            if (errno == EPIPE)
                exit(0);
            // Not possible here (EINVAL and the like): the plain copy moves the rest.
            bSplice = false;
            continue;
        }
        int n = m_tcpConnection.recvData(s_workBuf, HTTP_RELAY_PIECE_SIZE);
        if (n < 0 && errno == EAGAIN) {
            _wait_for_source(sock);
            continue;
        }
        if (n <= 0)
            exit(0);
        long out = n;
        if (m_bChunked)
            out = decoder.decode(s_workBuf, static_cast<size_t>(n));
        // A blocking write into a full pipe waits without the pipe's lock.
        if (out < 0 || !write_all(STDOUT_FILENO, s_workBuf, static_cast<size_t>(out)) || decoder.isDone())
            exit(0);
    }
}
