// A minimal one-exchange HTTP/1.1 client over CTcp; a "video/mp2t" answer is
// handed to the transport-stream relay (stream_relay.h), which takes over the process.
#ifndef DVR_CGI_SMALL_HTTP_H
#define DVR_CGI_SMALL_HTTP_H

#include <string>

#include "chunk_decoder.h"
#include "platform.h"
#include "tcp.h"

typedef enum e_connect_state {
    CONNECTION_CLOSE_E = 0,
    CONNECTION_KEEP_ALIVE_E = 1,
    CONNECTION_UNKNOW_E = 2,
} connect_state_e;

class CSmallHttp {
private:
    std::string m_str_method;
    std::string m_str_abs_path;
    std::string m_str_query_string;
    std::string m_str_dest_ip;
    std::string m_str_content_type;
    connect_state_e m_eConnection;
    char m_chRequestBuf[HTTP_REQUEST_BUF_SIZE];
    char m_chDataBuf[HTTP_FIRST_BLOCK_SIZE];
    char* m_pEntiyBody;
    // The body getHttpRespondEntiyBody returned: m_pEntiyBody or a text in the
    // first block.
    char* m_pBody;
    int m_iRespondStatus;
    int m_iPort;
    int m_iContentLength;
    CTcp m_tcpConnection;
    // Whether the answer has a Content-Length, and whether it is unreadable:
    // not a plain decimal, or given twice with different values.
    bool m_bHasContentLength;
    bool m_bBadContentLength;
    // The longest an exchange may take from its request's send, and the
    // longest a relayed stream may fall silent.
    int m_iExchangeMs;
    int m_iRelaySilenceMs;
    // A request that does not fit m_chRequestBuf is composed here instead.
    char* m_pchLongRequest;
    size_t m_iRequestLen;
    // "Transfer-Encoding: chunked": the body (or stream) arrives in chunks.
    bool m_bChunked;
    // A transfer coding other than chunked: the answer cannot be read.
    bool m_bOtherCoding;
    // Why the exchange failed, the first cause only (null: it has not), with the
    // errno of a failed system call (0: none).
    const char* m_pchFailure;
    int m_iFailureErrno;

    void __fail(const char* pchWhy, int err = 0);
    // A receive that returned n <= 0 ended the answer: closed, silent, past the
    // deadline or failed; bStarted: some of the answer had come.
    void __failReceive(int n, bool bStarted);

    int __httpRespondParser(char* dataBuf, int len);
    char* __readBodyByLength(const char* pEarly, int earlyCount);
    char* __readChunkedBody(const char* pEarly, int earlyCount);
    // Receives more of the body into m_pEntiyBody at pos, first doubling the
    // buffer (up to limit bytes) when less than wantRoom is left in it. What
    // recvData returns; -1 when the buffer could not grow.
    int __receiveBody(size_t pos, size_t* pRoom, size_t wantRoom, size_t limit);

public:
    CSmallHttp(std::string destIp, int port);
    ~CSmallHttp();
    CSmallHttp(const CSmallHttp&) = delete;
    CSmallHttp& operator=(const CSmallHttp&) = delete;

    void setHttpMethod(std::string method);
    void setHttpAbsPath(std::string absPath);
    void setHttpQueryString(std::string queryString);
    void setDestIpAndPort(std::string destIp, int port);
    // The time limits (platform.h by default; tests pass short ones): the
    // longest wait of the connect and of each send and receive, the whole
    // exchange from its request's send, and the silence that ends a stream.
    void setLimits(int silenceMs, int exchangeMs, int relaySilenceMs);
    bool connectToServer();
    int sendHttpRequest();
    void closeHttpConnection();
    // The body of a status-200 answer as NUL-terminated text owned by this
    // object, or null: read by its Content-Length, in chunks, or without
    // either to the connection's end. Does not return for a "video/mp2t" answer.
    char* getHttpRespondEntiyBody();
    void buildHttpHeader();
    // Hands the body that getHttpRespondEntiyBody returned over to the caller
    // as a heap text the caller frees: the buffer itself, so a large answer is
    // held once, or a copy of a small one that lives in the first block. Null
    // when there is none or the copy failed.
    char* releaseEntiyBody();
    // The first half of an exchange, the road of every forward and of the login
    // check: sets method, path and query, builds the request and sends it over
    // the connection that stands (one is opened now when none does; without one
    // nothing is sent). The exchange's deadline starts with the send.
    // getHttpRespondEntiyBody then reads the answer.
    void sendRequest(const char* method, const char* absPath, const std::string& queryString);
    // Both halves: the request sent, then the answer read.
    const char* exchange(const char* method, const char* absPath, const std::string& queryString);

    // Notes the failure of a failed exchange with pchPeer ("backend"):
    // the peer's address and why, from the connect to the end of the body.
    void noteFailure(const char* pchPeer) const;

    // What the parser and the composer produced, for tests and traces.
    const char* getRequestText() const { return m_pchLongRequest ? m_pchLongRequest : m_chRequestBuf; }
    size_t getRequestLength() const { return m_iRequestLen; }
    int getRespondStatus() const { return m_iRespondStatus; }
    int getContentLength() const { return m_iContentLength; }
    bool hasContentLength() const { return m_bHasContentLength; }
    const std::string& getContentType() const { return m_str_content_type; }
    connect_state_e getConnectionState() const { return m_eConnection; }
    bool isChunked() const { return m_bChunked; }
    // Why the exchange failed (null: it has not), without the errno's text.
    const char* getFailure() const { return m_pchFailure; }
    CTcp& getTcp() { return m_tcpConnection; }
};

#endif
