// The one-exchange HTTP/1.1 client: the request composed, the answer's header
// block parsed, its body read by length, in chunks or to the connection's end,
// under a size cap.
#include "small_http.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base_io.h"
#include "http_text.h"
#include "log_line.h"
#include "stream_relay.h"

namespace {

const char HEADER_BLOCK_END[] = "\r\n\r\n";
// The failure of an answer whose status is not 200; the line gives the number.
const char FAILURE_STATUS[] = "answer status";
const int HEADER_BLOCK_END_LEN = 4;

// The first room of a body buffer; it grows as bytes actually arrive, so a
// Content-Length that the backend does not honour never decides the memory.
const size_t BODY_FIRST_ROOM = 16 * 1024;

bool _name_is(const char* name, size_t nameLen, const char* expected)
{
    return strlen(expected) == nameLen && memcmp(name, expected, nameLen) == 0;
}

} // namespace

CSmallHttp::CSmallHttp(std::string destIp, int port)
    : m_eConnection(CONNECTION_CLOSE_E)
    , m_pEntiyBody(nullptr)
    , m_pBody(nullptr)
    , m_iRespondStatus(0)
    , m_iPort(0)
    , m_iContentLength(0)
    , m_bHasContentLength(false)
    , m_bBadContentLength(false)
    , m_iExchangeMs(HTTP_EXCHANGE_DEADLINE_SEC * 1000)
    , m_iRelaySilenceMs(HTTP_RELAY_SILENCE_LIMIT_SEC * 1000)
    , m_pchLongRequest(nullptr)
    , m_iRequestLen(0)
    , m_bChunked(false)
    , m_bOtherCoding(false)
    , m_pchFailure(nullptr)
    , m_iFailureErrno(0)
{
    m_chRequestBuf[0] = '\0';
    m_chDataBuf[0] = '\0';
    setDestIpAndPort(destIp, port);
}

CSmallHttp::~CSmallHttp()
{
    free(m_pEntiyBody);
    free(m_pchLongRequest);
}

void CSmallHttp::setHttpMethod(std::string method) { m_str_method = method; }

void CSmallHttp::setHttpAbsPath(std::string absPath) { m_str_abs_path = absPath; }

void CSmallHttp::setHttpQueryString(std::string queryString)
{
    m_str_query_string = queryString;
    debug_print("[CSmallHttp::setHttpQueryString]", "m_str_query_string:%s", m_str_query_string.c_str());
}

void CSmallHttp::setDestIpAndPort(std::string destIp, int port)
{
    m_str_dest_ip = destIp;
    m_iPort = port;
    debug_print(
        "[CSmallHttp::setDestIpAndPort]", "m_str_dest_ip:%s port:%d\n", m_str_dest_ip.c_str(), m_iPort);
    m_tcpConnection.setDestAddress(m_str_dest_ip.c_str(), port);
}

void CSmallHttp::setLimits(int silenceMs, int exchangeMs, int relaySilenceMs)
{
    m_tcpConnection.setSilenceLimit(silenceMs);
    m_iExchangeMs = exchangeMs;
    m_iRelaySilenceMs = relaySilenceMs;
}

bool CSmallHttp::connectToServer()
{
    if (m_tcpConnection.connectToDest())
        return true;
    __fail("connect", errno);
    return false;
}

void CSmallHttp::__fail(const char* pchWhy, int err)
{
    if (m_pchFailure)
        return;
    m_pchFailure = pchWhy;
    m_iFailureErrno = err;
}

void CSmallHttp::__failReceive(int n, bool bStarted)
{
    if (n == 0)
        __fail(bStarted ? "answer cut short" : "closed without an answer");
    else if (errno == EAGAIN)
        __fail("answer silent too long");
    else if (errno == ETIMEDOUT)
        __fail("answer past its deadline");
    else
        __fail("receive", errno);
}

void CSmallHttp::noteFailure(const char* pchPeer) const
{
    const char* pchWhy = m_pchFailure ? m_pchFailure : "no answer";
    if (m_iFailureErrno != 0)
        note_failure(
            "%s %s:%d: %s: %s", pchPeer, m_str_dest_ip.c_str(), m_iPort, pchWhy, strerror(m_iFailureErrno));
    else if (m_pchFailure == FAILURE_STATUS)
        note_failure("%s %s:%d: answer status %d", pchPeer, m_str_dest_ip.c_str(), m_iPort, m_iRespondStatus);
    else
        note_failure("%s %s:%d: %s", pchPeer, m_str_dest_ip.c_str(), m_iPort, pchWhy);
}

void CSmallHttp::closeHttpConnection() { m_tcpConnection.closeConnection(); }

void CSmallHttp::buildHttpHeader()
{
    free(m_pchLongRequest);
    m_pchLongRequest = nullptr;
    m_iRequestLen = 0;
    memset(m_chRequestBuf, 0, sizeof(m_chRequestBuf));

    const char* method = m_str_method.c_str();
    const char* path = m_str_abs_path.c_str();
    const char* query = m_str_query_string.c_str();
    // A request longer than the buffer goes to a heap buffer of its own: the
    // browser's query string is forwarded and must never be cut.
    if (m_str_method == "GET") {
        if (!m_str_query_string.empty()) {
            // The request line stays one line, whatever a lax web server passed on.
            const std::string lineQuery = http_request_line_query(m_str_query_string);
            m_iRequestLen = http_compose(m_chRequestBuf, sizeof(m_chRequestBuf), &m_pchLongRequest, "", 0,
                "%s %s?%s HTTP/1.1\r\n\r\n", method, path, lineQuery.c_str());
        } else
            m_iRequestLen = http_compose(m_chRequestBuf, sizeof(m_chRequestBuf), &m_pchLongRequest, "", 0,
                "%s %s HTTP/1.1\r\n\r\n", method, path);
    } else if (m_str_method == "POST") {
        m_iRequestLen = http_compose(m_chRequestBuf, sizeof(m_chRequestBuf), &m_pchLongRequest, query,
            m_str_query_string.size(),
            "%s %s HTTP/1.1\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "Host: %s:%d \r\n"
            "Content-Length: %zu\r\n\r\n",
            method, path, m_str_dest_ip.c_str(), m_iPort, m_str_query_string.size());
    }
}

void CSmallHttp::sendRequest(const char* method, const char* absPath, const std::string& queryString)
{
    setHttpMethod(method);
    setHttpAbsPath(absPath);
    setHttpQueryString(queryString);
    buildHttpHeader();
    if (!m_tcpConnection.isConnectSuccess() && !connectToServer())
        return;
    // The exchange's time runs from its send: a connection opened early (epg's,
    // before the session check) has not used any of it.
    m_tcpConnection.setDeadline(m_iExchangeMs);
    if (sendHttpRequest() < 0)
        __fail("send", errno == EAGAIN ? ETIMEDOUT : errno);
}

const char* CSmallHttp::exchange(const char* method, const char* absPath, const std::string& queryString)
{
    sendRequest(method, absPath, queryString);
    return getHttpRespondEntiyBody();
}

int CSmallHttp::sendHttpRequest()
{
    const char* pRequest = getRequestText();
    size_t len = m_iRequestLen;
    int result;
    if (len == 0) {
        // An empty request (unknown method) is one send of nothing.
        result = m_tcpConnection.sendData(pRequest, 0);
    } else if (!m_tcpConnection.sendAll(pRequest, len)) {
        result = -1;
    } else {
        result = len < INT_MAX ? static_cast<int>(len) : INT_MAX;
    }
    const int err = errno;
    debug_print("[CSmallHttp::sendHttpRequest] B >>> C  ", "len:%d m_chRequestBuf:%s len2:%d", result,
        pRequest, static_cast<int>(len));
    errno = err;
    return result;
}

int CSmallHttp::__httpRespondParser(char* dataBuf, int len)
{
    if (len <= 0 || dataBuf[0] == '\0')
        return 0;
    int lineStart = 0;
    while (lineStart < len) {
        const char* line = dataBuf + lineStart;
        const char* crlf
            = static_cast<const char*>(memmem(line, static_cast<size_t>(len - lineStart), "\r\n", 2));
        if (!crlf)
            return 0;
        size_t lineLen = static_cast<size_t>(crlf - line);
        if (lineLen == 0)
            return lineStart + 2;
        const char* colon = static_cast<const char*>(memchr(line, ':', lineLen));
        if (lineStart == 0) {
            // The status line comes first, or the answer is none.
            m_iRespondStatus = http_status_code(line, lineLen);
            if (m_iRespondStatus != 200) {
                m_iRespondStatus = m_iRespondStatus < 0 ? 0 : m_iRespondStatus;
                return 0;
            }
        } else if (colon && colon > line && !memchr(line, ' ', static_cast<size_t>(colon - line))
            && !memchr(line, '\t', static_cast<size_t>(colon - line))) {
            // A field as HTTP defines it: the name in any letter case, right in
            // front of the colon; blanks around the value are not part of it.
            // The value runs up to the CR.
            const size_t nameLen = static_cast<size_t>(colon - line);
            const char* value = colon + 1;
            const char* valueEnd
                = static_cast<const char*>(memchr(value, '\r', static_cast<size_t>(crlf - value) + 1));
            while (value < valueEnd && (*value == ' ' || *value == '\t'))
                ++value;
            while (valueEnd > value && (valueEnd[-1] == ' ' || valueEnd[-1] == '\t'))
                --valueEnd;
            const size_t valueLen = static_cast<size_t>(valueEnd - value);
            if (http_equal_nocase(line, nameLen, "content-type")) {
                m_str_content_type.assign(value, valueLen);
            } else if (http_equal_nocase(line, nameLen, "content-length")) {
                // A length that is no plain number, or two that differ, leave
                // the body's end unknown: the answer cannot be read.
                const long long length = http_content_length(value, valueLen, HTTP_BODY_MAX_SIZE);
                m_bBadContentLength = m_bBadContentLength || length < 0
                    || (m_bHasContentLength && length != m_iContentLength);
                m_bHasContentLength = true;
                m_iContentLength = length < 0 ? 0 : static_cast<int>(length);
            } else if (http_equal_nocase(line, nameLen, "transfer-encoding")) {
                // The request says HTTP/1.1, so the backend may send its body in
                // chunks; "identity" is no coding. Any other coding we cannot undo.
                m_bChunked = http_equal_nocase(value, valueLen, "chunked");
                m_bOtherCoding
                    = m_bOtherCoding || (!m_bChunked && !http_equal_nocase(value, valueLen, "identity"));
            } else if (http_equal_nocase(line, nameLen, "connection")) {
                if (_name_is(value, valueLen, "Close"))
                    m_eConnection = CONNECTION_CLOSE_E;
                else if (_name_is(value, valueLen, "Keep-Alive"))
                    m_eConnection = CONNECTION_KEEP_ALIVE_E;
                else
                    m_eConnection = CONNECTION_UNKNOW_E;
            }
        }
        lineStart += static_cast<int>(lineLen) + 2;
    }
    return 0;
}

char* CSmallHttp::getHttpRespondEntiyBody()
{
    m_pBody = nullptr;
    // A request that did not go out whole has no answer to wait for: the
    // silence limit would only delay the failure.
    if (m_pchFailure)
        return nullptr;
    memset(m_chDataBuf, 0, sizeof(m_chDataBuf));
    // Gather the first block, however the backend's bytes were split over the
    // receives: each receive takes no more than still fits, so nothing is dropped.
    // The end of the header block is looked for as text, in front of the first NUL.
    int tlen = 0;
    int textLen = 0;
    int iHeaderEnd = -1;
    while (tlen < HTTP_FIRST_BLOCK_SIZE) {
        int n = m_tcpConnection.recvData(m_chDataBuf + tlen, HTTP_FIRST_BLOCK_SIZE - tlen);
        if (n <= 0) {
            __failReceive(n, tlen > 0);
            break;
        }
        bool noNulYet = textLen == tlen;
        tlen += n;
        if (!noNulYet)
            continue;
        int from = textLen >= HEADER_BLOCK_END_LEN - 1 ? textLen - (HEADER_BLOCK_END_LEN - 1) : 0;
        textLen += static_cast<int>(strnlen(m_chDataBuf + textLen, static_cast<size_t>(tlen - textLen)));
        const char* end = static_cast<const char*>(memmem(
            m_chDataBuf + from, static_cast<size_t>(textLen - from), HEADER_BLOCK_END, HEADER_BLOCK_END_LEN));
        if (end) {
            iHeaderEnd = static_cast<int>(end - m_chDataBuf) + HEADER_BLOCK_END_LEN;
            break;
        }
    }
    if (tlen == 0 || iHeaderEnd < 0) {
        __fail("header block malformed or too long");
        return nullptr;
    }
    debug_print("[CSmallHttp::getHttpRespondEntiyBody] B <<< C  ", "len:%d m_chDataBuf:\n%.*s", tlen, tlen,
        m_chDataBuf);

    int iPos = __httpRespondParser(m_chDataBuf, tlen);
    debug_print("[CSmallHttp::getHttpRespondEntiyBody]",
        "m_eConnection:%d m_iRespondStatus:%d m_iContentLength:%d m_str_content_type:%s", m_eConnection,
        m_iRespondStatus, m_iContentLength, m_str_content_type.c_str());
    // A transfer coding we cannot undo is an answer that ended early: its
    // bytes are never passed on as a document or a stream.
    const bool bBadLength = m_bBadContentLength && !m_bChunked;
    if (m_iRespondStatus != 200 || iPos <= 0 || m_bOtherCoding || bBadLength) {
        __fail(m_iRespondStatus == 0      ? "no HTTP/1.x status line"
                : m_iRespondStatus != 200 ? FAILURE_STATUS
                : m_bOtherCoding          ? "unknown transfer coding"
                : bBadLength              ? "Content-Length malformed"
                                          : "header block malformed or too long");
        return nullptr;
    }
    if (strncmp(m_str_content_type.c_str(), "video/mp2t", 10) == 0)
        relay_transport_stream(m_tcpConnection.getSocket(), m_chDataBuf + iHeaderEnd, tlen - iHeaderEnd,
            m_bChunked, m_bHasContentLength ? m_iContentLength : -1, m_iRelaySilenceMs);
    m_pBody = m_bChunked ? __readChunkedBody(m_chDataBuf + iPos, tlen - iPos)
                         : __readBodyByLength(m_chDataBuf + iPos, tlen - iPos);
    return m_pBody;
}

char* CSmallHttp::releaseEntiyBody()
{
    if (!m_pBody || m_pBody != m_pEntiyBody)
        return m_pBody ? strdup(m_pBody) : nullptr;
    char* pBody = m_pEntiyBody;
    m_pBody = nullptr;
    m_pEntiyBody = nullptr;
    return pBody;
}

int CSmallHttp::__receiveBody(size_t pos, size_t* pRoom, size_t wantRoom, size_t limit)
{
    if (*pRoom - pos < wantRoom && *pRoom < limit) {
        size_t bigger = *pRoom * 2 < limit ? *pRoom * 2 : limit;
        char* grown = static_cast<char*>(realloc(m_pEntiyBody, bigger + 1));
        if (!grown)
            return -1;
        m_pEntiyBody = grown;
        *pRoom = bigger;
    }
    size_t want = *pRoom - pos < INT_MAX ? *pRoom - pos : INT_MAX;
    return m_tcpConnection.recvData(m_pEntiyBody + pos, static_cast<int>(want));
}

char* CSmallHttp::__readChunkedBody(const char* pEarly, int earlyCount)
{
    // Room for the decoded body up to the cap, and for one more raw piece
    // behind it: the raw bytes are received behind what is decoded, then
    // decoded in place.
    const size_t limit = static_cast<size_t>(HTTP_BODY_MAX_SIZE) + HTTP_BODY_PIECE_SIZE;
    size_t room = static_cast<size_t>(earlyCount) + BODY_FIRST_ROOM;
    m_pEntiyBody = static_cast<char*>(malloc(room + 1));
    if (!m_pEntiyBody) {
        __fail("body buffer", ENOMEM);
        return nullptr;
    }
    CChunkDecoder decoder;
    memcpy(m_pEntiyBody, pEarly, static_cast<size_t>(earlyCount));
    long n = decoder.decode(m_pEntiyBody, static_cast<size_t>(earlyCount));
    size_t pos = n > 0 ? static_cast<size_t>(n) : 0;
    while (n >= 0 && !decoder.isDone() && pos <= static_cast<size_t>(HTTP_BODY_MAX_SIZE)) {
        int got = __receiveBody(pos, &room, HTTP_BODY_PIECE_SIZE, limit);
        if (got <= 0) {
            __failReceive(got, true);
            break;
        }
        n = decoder.decode(m_pEntiyBody + pos, static_cast<size_t>(got));
        if (n > 0)
            pos += static_cast<size_t>(n);
    }
    if (!decoder.isDone() || pos > static_cast<size_t>(HTTP_BODY_MAX_SIZE)) {
        // A malformed or unfinished coding, or more than we keep: no body.
        __fail(n < 0                                            ? "malformed chunked coding"
                : pos > static_cast<size_t>(HTTP_BODY_MAX_SIZE) ? "body over the cap"
                                                                : "answer cut short");
        free(m_pEntiyBody);
        m_pEntiyBody = nullptr;
        return nullptr;
    }
    m_pEntiyBody[pos] = '\0';
    return m_pEntiyBody;
}

char* CSmallHttp::__readBodyByLength(const char* pEarly, int earlyCount)
{
    if (m_bHasContentLength && m_iContentLength < earlyCount) {
        // All the early bytes, not cut to Content-Length. In the first block when
        // its NUL fits behind them, else in a buffer of their own.
        if (pEarly + earlyCount < m_chDataBuf + sizeof(m_chDataBuf))
            return m_chDataBuf + (pEarly - m_chDataBuf);
        m_pEntiyBody = static_cast<char*>(malloc(static_cast<size_t>(earlyCount) + 1));
        if (!m_pEntiyBody) {
            __fail("body buffer", ENOMEM);
            return nullptr;
        }
        memcpy(m_pEntiyBody, pEarly, static_cast<size_t>(earlyCount));
        m_pEntiyBody[earlyCount] = '\0';
        return m_pEntiyBody;
    }

    // A body larger than we keep counts as an answer that ended early.
    if (m_iContentLength > HTTP_BODY_MAX_SIZE) {
        __fail("body over the cap");
        return nullptr;
    }
    // Without a Content-Length the body ends with the connection, and may not
    // run past the cap: one byte more than the cap is read to see it does not.
    const bool bToClose = !m_bHasContentLength;
    const size_t total
        = bToClose ? static_cast<size_t>(HTTP_BODY_MAX_SIZE) + 1 : static_cast<size_t>(m_iContentLength);
    size_t room = static_cast<size_t>(earlyCount) + BODY_FIRST_ROOM;
    if (room > total)
        room = total;
    m_pEntiyBody = static_cast<char*>(malloc(room + 1));
    if (!m_pEntiyBody) {
        __fail("body buffer", ENOMEM);
        return nullptr;
    }
    memcpy(m_pEntiyBody, pEarly, static_cast<size_t>(earlyCount));
    size_t pos = static_cast<size_t>(earlyCount);
    bool bClosed = false;
    while (pos < total) {
        debug_print("xxx", "remain:%d", static_cast<int>(total - pos));
        int n = __receiveBody(pos, &room, 1, total);
        if (n == 0 && bToClose) {
            bClosed = true;
            break;
        }
        if (n <= 0) {
            __failReceive(n, true);
            break;
        }
        pos += static_cast<size_t>(n);
    }
    if (bToClose && pos == total)
        __fail("body over the cap");
    if (bToClose ? !bClosed : pos < total) {
        // The backend closed or failed before the whole body came: no body.
        free(m_pEntiyBody);
        m_pEntiyBody = nullptr;
        return nullptr;
    }
    m_pEntiyBody[pos] = '\0';
    return m_pEntiyBody;
}
