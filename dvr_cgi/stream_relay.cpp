// The transport-stream relay: takes over the process for a "video/mp2t" answer
// and moves the stream to the browser until either side ends it.
#include "stream_relay.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base_io.h"
#include "chunk_decoder.h"
#include "log_line.h"
#include "platform.h"

namespace {

// What the browser gets in front of a relayed stream instead of the backend's own header block.
const char RELAY_HEADER[] = "Server: HTS/tvheadend\r\n"
                            "Cache-Control: no-cache\r\n"
                            "Connection: Close\r\n"
                            "Content-Type: video/mp2t\r\n"
                            "\r\n";
const size_t RELAY_HEADER_LEN = sizeof(RELAY_HEADER) - 1;

// Waits until the stream's source sends more; one that stays silent for the
// relay's silence limit has lost its signal, and the stream ends with it.
void _wait_for_source(int sock, int silenceMs)
{
    const struct timespec end = moment_after_ms(silenceMs);
    if (wait_fd(sock, POLLIN, &end) == 0)
        exit(0);
}

} // namespace

void relay_transport_stream(
    int sock, const char* pEarly, int earlyCount, bool bChunked, long long contentLength, int silenceMs)
{
    // Allocated once, in the process image, and touched only when a stream is relayed.
    static char s_workBuf[HTTP_RELAY_PIECE_SIZE];

    // A chunked stream is decoded on its way; the chunk lines never reach the
    // player, and a Content-Length beside the coding counts for nothing.
    CChunkDecoder decoder;
    long long left = bChunked || contentLength < 0 ? -1 : contentLength;
    // Our own header lines and the stream bytes that came with the backend's
    // header block, in one write.
    memcpy(s_workBuf, RELAY_HEADER, RELAY_HEADER_LEN);
    memcpy(s_workBuf + RELAY_HEADER_LEN, pEarly, static_cast<size_t>(earlyCount));
    long early = earlyCount;
    if (bChunked)
        early = decoder.decode(s_workBuf + RELAY_HEADER_LEN, static_cast<size_t>(earlyCount));
    if (left >= 0 && early > left)
        early = static_cast<long>(left);
    size_t firstLen = RELAY_HEADER_LEN + static_cast<size_t>(early > 0 ? early : 0);
    bool written = write_all(STDOUT_FILENO, s_workBuf, firstLen);
    debug_print(
        "[CSmallHttp::getHttpRespondEntiyBody] A <=== B  ", "writenLen:%d", static_cast<int>(firstLen));
    if (left >= 0 && early > 0)
        left -= early;
    if (!written || early < 0 || decoder.isDone() || left == 0)
        exit(0);

    // From here on the relay never waits inside a read or a splice: while a
    // splice waits for the source it holds the answer pipe's lock, and a web
    // server that looks at that pipe (lighttpd asks how much it holds) would
    // sleep with every other request it serves. So the socket does not block,
    // the pipe is spliced into without blocking, and every wait is the one
    // wait: for the source, up to the silence limit (a source that falls
    // silent ends the stream; one that keeps sending is never cut), and for a
    // full pipe, as long as its reader takes (a slow reader is no silence of
    // the source).
    struct stat st;
    bool bSplice = !bChunked && fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode);
    // A splice fails alike for a full pipe and for a source with nothing to
    // give. While a stream flows it is nearly always the pipe, so that is
    // waited for first; failing again right after, it is the source.
    bool bPipeWaited = false;
    for (;;) {
        if (bSplice) {
            // Into a pipe the kernel moves the stream without copying it through us.
            size_t want = HTTP_RELAY_SPLICE_SIZE;
            if (left >= 0 && static_cast<unsigned long long>(left) < want)
                want = static_cast<size_t>(left);
            ssize_t n
                = splice(sock, nullptr, STDOUT_FILENO, nullptr, want, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                bPipeWaited = false;
                if (left >= 0 && (left -= n) == 0)
                    exit(0);
                continue;
            }
            if (n == 0)
                exit(0);
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                if (bPipeWaited)
                    _wait_for_source(sock, silenceMs);
                else
                    wait_fd(STDOUT_FILENO, POLLOUT, nullptr);
                bPipeWaited = !bPipeWaited;
                continue;
            }
            if (errno == EPIPE)
                exit(0);
            // Not possible here (EINVAL and the like): the plain copy moves the rest.
            bSplice = false;
            continue;
        }
        size_t want = HTTP_RELAY_PIECE_SIZE;
        if (left >= 0 && static_cast<unsigned long long>(left) < want)
            want = static_cast<size_t>(left);
        ssize_t n = recv(sock, s_workBuf, want, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (errno == EAGAIN)
                _wait_for_source(sock, silenceMs);
            continue;
        }
        if (n <= 0)
            exit(0);
        long out = static_cast<long>(n);
        if (bChunked)
            out = decoder.decode(s_workBuf, static_cast<size_t>(n));
        // A blocking write into a full pipe waits without the pipe's lock.
        if (out < 0 || !write_all(STDOUT_FILENO, s_workBuf, static_cast<size_t>(out)) || decoder.isDone())
            exit(0);
        if (left >= 0 && (left -= out) == 0)
            exit(0);
    }
}
