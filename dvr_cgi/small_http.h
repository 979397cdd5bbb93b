// A minimal one-exchange HTTP/1.1 client over CTcp, with the transport-stream
// relay that takes over the process for "video/mp2t" answers.
#ifndef DVR_CGI_SMALL_HTTP_H
#define DVR_CGI_SMALL_HTTP_H

#include <string>

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
    int m_iRespondStatus;
    int m_iPort;
    int m_iContentLength;
    CTcp m_tcpConnection;
    // A request that does not fit m_chRequestBuf is composed here instead.
    char* m_pchLongRequest;
    size_t m_iRequestLen;

    int __httpRespondParser(char* dataBuf, int len);
    char* __readBodyByLength(const char* pEarly, int earlyCount);
    [[noreturn]] void __relayTransportStream(const char* pEarly, int earlyCount);

public:
    CSmallHttp(std::string destIp, int port);
    ~CSmallHttp();
    CSmallHttp(const CSmallHttp&) = delete;
    CSmallHttp& operator=(const CSmallHttp&) = delete;

    void setHttpMethod(std::string method);
    void setHttpAbsPath(std::string absPath);
    void setHttpQueryString(std::string queryString);
    void setDestIpAndPort(std::string destIp, int port);
    bool connectToServer();
    int sendHttpRequest();
    void closeHttpConnection();
    // The body of a status-200 answer as NUL-terminated text owned by this
    // object, or null. Does not return for a "video/mp2t" answer.
    char* getHttpRespondEntiyBody();
    void buildHttpHeader();

    // What the parser and the composer produced, for tests and traces.
    const char* getRequestText() const { return m_pchLongRequest ? m_pchLongRequest : m_chRequestBuf; }
    size_t getRequestLength() const { return m_iRequestLen; }
    int getRespondStatus() const { return m_iRespondStatus; }
    int getContentLength() const { return m_iContentLength; }
    const std::string& getContentType() const { return m_str_content_type; }
    connect_state_e getConnectionState() const { return m_eConnection; }
    CTcp& getTcp() { return m_tcpConnection; }
};

#endif
