// The CGI request context shared by both programs: the CGI variables, the
// answer document, the reason codes and the responder that writes the answer.
#ifndef DVR_CGI_CGIPROCESSOR_H
#define DVR_CGI_CGIPROCESSOR_H

#include <stddef.h>
#include <string>
#include <sys/types.h>

#include "platform.h"

enum {
    RESPOND_REASON_SUCCESS = 0,
    RESPOND_REASON_CANT_CONNECT = 1,
    RESPOND_REASON_NOT_IMPLEMENT = 2,
    RESPOND_REASON_NO_BODY = 3,
    RESPOND_REASON_TRANSFER_FAIL = 4,
    RESPOND_REASON_SERVER_NOT_EXIST = 5,
    RESPOND_REASON_AUTH_FAIL = 6,
    // Every value without a branch of its own (3, 4, negative, above 6).
    RESPOND_REASON_EXPECTATION_FAILED = -1,
};

// One entry of a request class's key-to-member table.
struct SRequestParam {
    const char* pchKey;
    std::string* pStrMember;
};

// One traced member of a request class: its name and its value.
struct STraceMember {
    const char* pchName;
    const std::string* pStr;
};

class CCgiProcessor {
private:
    char* m_pchServerSoftware;
    char* m_pchServerName;
    char* m_pchGatewayInterface;
    char* m_pchServerProtocol;
    char* m_pchServerPort;
    char* m_pchRequestMethod;
    char* m_pchPathInfo;
    char* m_pchPathTranslated;
    char* m_pchScriptName;
    char* m_pchQueryString;
    char* m_pchRemoteHost;
    char* m_pchRemoteAddr;
    char* m_pchAuthType;
    char* m_pchRemoteUser;
    char* m_pchRemoteIdent;
    char* m_pchContentType;
    char* m_pchContentLength;
    char* m_pchHttpAccept;
    char* m_pchHttpUserAgent;
    char* m_pchHttpReferer;
    char* m_pchHostIp;
    char* m_pchHttpCookie;
    char* m_pXmlDoc;
    off_t m_xmlDocSize;
    char m_XmlTempFileName[DVR_SCRATCH_NAME_SIZE];

    bool __buildErrRespondXmlDoc(int errorCode, const char* errMessage);
    void setDoc(char* pDoc);

public:
    CCgiProcessor();
    ~CCgiProcessor();
    CCgiProcessor(const CCgiProcessor&) = delete;
    CCgiProcessor& operator=(const CCgiProcessor&) = delete;

    // Keeps a copy of the text as the answer document.
    bool json_to_xml(const char* pSrc);
    // Takes a heap text (the backend's body) as the answer document itself, so
    // a large answer is held once; freed here. False for none.
    bool adoptDoc(char* pHeap);
    char* getXmlDoc();
    off_t getXmlDocSize();
    char* getRequestMethod();
    char* getQueryString();
    char* getContentType();
    char* getContentLength();
    char* getHttpCookie();
    const char* getTempFileName() const { return m_XmlTempFileName; }
    void respondToClient(int reason);
    void dumpValue();

protected:
    // Reads the request's parameters into the members of the given table: the
    // query string for a GET, and for a POST with a positive CONTENT_LENGTH as
    // well (its body is consumed, never used). One split for both programs.
    void readRequestParams(const SRequestParam* pTable, size_t count, const char* traceTag);
    // The raw query string, a missing one taken as the empty text.
    char* getQueryStringOrEmpty();
    // Traces each non-empty member under tag, in table order.
    static void traceMembers(const char* tag, const STraceMember* pTable, size_t count);
};

// Splits buf in place into "&"-separated tokens and "key=value" pairs and stores
// each non-empty value in the member of its key; unknown keys go to the trace
// under traceTag. Exposed for the request classes and their tests.
void split_request_params(char* buf, const SRequestParam* pTable, size_t count, const char* traceTag);

// Formats the failure envelope into buf; the result is cut at bufSize - 1.
int format_err_envelope(char* buf, size_t bufSize, int errorCode, const char* errMessage);

#endif
