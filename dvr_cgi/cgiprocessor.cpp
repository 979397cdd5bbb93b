// CGI request context and responder: takes the CGI variables, holds the answer
// document and writes the complete CGI answer for a reason code.
#include "cgiprocessor.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base_io.h"
#include "log_line.h"

namespace {

const char ENVELOPE_FORMAT[]
    = "{\"total_count\": 0, \"result\": \"failure\", \"errcode\": %d, \"errmsg\": \"%s\"}";

// Used only when even 2048 bytes cannot be had: the responder always has a document to write.
char s_chFallbackDoc[DVR_ERR_DOC_SIZE];

} // namespace

int format_err_envelope(char* buf, size_t bufSize, int errorCode, const char* errMessage)
{
    return snprintf(buf, bufSize, ENVELOPE_FORMAT, errorCode, errMessage);
}

void split_request_params(char* buf, const SRequestParam* pTable, size_t count, const char* traceTag)
{
    char* pSave = nullptr;
    for (char* pToken = strtok_r(buf, "&", &pSave); pToken; pToken = strtok_r(nullptr, "&", &pSave)) {
        char* pValue = strchr(pToken, '=');
        if (pValue)
            *pValue++ = '\0';
        else
            pValue = pToken + strlen(pToken);

        size_t i = 0;
        for (; i < count; i++) {
            if (strcmp(pToken, pTable[i].pchKey) == 0)
                break;
        }
        if (i == count) {
            debug_print(traceTag, "unknow token:%s and value:%s\n", pToken, pValue);
            continue;
        }
        // An empty value leaves what an earlier occurrence stored.
        if (*pValue)
            pTable[i].pStrMember->assign(pValue);
    }
}

CCgiProcessor::CCgiProcessor()
{
    m_pchServerSoftware = getenv("SERVER_SOFTWARE");
    m_pchServerName = getenv("SERVER_NAME");
    m_pchGatewayInterface = getenv("GATEWAY_INTERFACE");
    m_pchServerProtocol = getenv("SERVER_PROTOCOL");
    m_pchServerPort = getenv("SERVER_PORT");
    m_pchRequestMethod = getenv("REQUEST_METHOD");
    m_pchPathInfo = getenv("PATH_INFO");
    m_pchPathTranslated = getenv("PATH_TRANSLATED");
    m_pchScriptName = getenv("SCRIPT_NAME");
    m_pchQueryString = getenv("QUERY_STRING");
    m_pchRemoteHost = getenv("REMOTE_HOST");
    m_pchRemoteAddr = getenv("REMOTE_ADDR");
    m_pchAuthType = getenv("AUTH_TYPE");
    m_pchRemoteUser = getenv("REMOTE_USER");
    m_pchRemoteIdent = getenv("REMOTE_IDENT");
    m_pchContentType = getenv("CONTENT_TYPE");
    m_pchContentLength = getenv("CONTENT_LENGTH");
    m_pchHttpAccept = getenv("HTTP_ACCEPT");
    m_pchHttpUserAgent = getenv("HTTP_USER_AGENT");
    m_pchHttpReferer = getenv("HTTP_REFERER");
    m_pchHostIp = getenv("HTTP_HOST");
    m_pchHttpCookie = getenv("HTTP_COOKIE");
    m_pXmlDoc = nullptr;
    m_xmlDocSize = 0;
    memset(m_XmlTempFileName, 0, sizeof(m_XmlTempFileName));
    snprintf(
        m_XmlTempFileName, sizeof(m_XmlTempFileName), DVR_SCRATCH_FILE_FMT, static_cast<unsigned>(getpid()));
}

CCgiProcessor::~CCgiProcessor()
{
    setDoc(nullptr);
    // Nothing creates the scratch file; removing its name stays part of every
    // returning run. unlink has the effect of "rm -f" without starting a shell.
    unlink(m_XmlTempFileName);
}

void CCgiProcessor::setDoc(char* pDoc)
{
    if (m_pXmlDoc && m_pXmlDoc != s_chFallbackDoc)
        free(m_pXmlDoc);
    m_pXmlDoc = pDoc;
    m_xmlDocSize = pDoc ? static_cast<off_t>(strlen(pDoc)) : 0;
}

bool CCgiProcessor::__buildErrRespondXmlDoc(int errorCode, const char* errMessage)
{
    char* pDoc = static_cast<char*>(calloc(DVR_ERR_DOC_SIZE, 1));
    if (!pDoc) {
        memset(s_chFallbackDoc, 0, sizeof(s_chFallbackDoc));
        pDoc = s_chFallbackDoc;
    }
    format_err_envelope(pDoc, DVR_ERR_DOC_SIZE, errorCode, errMessage);
    setDoc(pDoc);
    return true;
}

bool CCgiProcessor::adoptDoc(char* pHeap)
{
    if (!pHeap)
        return false;
    setDoc(pHeap);
    return true;
}

bool CCgiProcessor::json_to_xml(const char* pSrc) { return pSrc && adoptDoc(strdup(pSrc)); }

char* CCgiProcessor::getXmlDoc() { return m_pXmlDoc; }

off_t CCgiProcessor::getXmlDocSize() { return m_xmlDocSize; }

char* CCgiProcessor::getRequestMethod() { return m_pchRequestMethod; }

char* CCgiProcessor::getQueryString()
{
    if (!m_pchQueryString)
        debug_print("[CCgiProcessor::getQueryString]", "m_pchQueryString is NULL");
    return m_pchQueryString;
}

char* CCgiProcessor::getContentType() { return m_pchContentType; }

char* CCgiProcessor::getContentLength() { return m_pchContentLength; }

char* CCgiProcessor::getHttpCookie() { return m_pchHttpCookie; }

void CCgiProcessor::respondToClient(int reason)
{
    static const char TAG[] = "[CCgiProcessor::respondToClient]";
    // Each reason with a branch of its own, and the failure envelope it answers;
    // the last entry is every other reason, after which the process ends.
    static const struct {
        int iReason;
        const char* pchName;
        int iErrCode;
        const char* pchErrMsg;
    } ANSWERS[] = {
        { RESPOND_REASON_SUCCESS, "RESPOND_REASON_SUCCESS", 0, "ERROR" },
        { RESPOND_REASON_CANT_CONNECT, "RESPOND_REASON_CANT_CONNECT", -3, "ERROR CANT CONNECT TO SERVER" },
        { RESPOND_REASON_NOT_IMPLEMENT, "RESPOND_REASON_NOT_IMPLEMENT", -4, "ERROR UNKNOW COMMAND" },
        { RESPOND_REASON_SERVER_NOT_EXIST, "RESPOND_REASON_SERVER_NOT_EXIST", -2, "ERROR SERVER NOT EXIST" },
        { RESPOND_REASON_AUTH_FAIL, "RESPOND_REASON_AUTH_FAIL", -5, "ERROR AUTHENTICATION FAIL" },
        { RESPOND_REASON_EXPECTATION_FAILED, "RESPOND_REASON_EXPECTATION_FAILED", -1, "ERROR" },
    };
    const size_t LAST_ANSWER = sizeof(ANSWERS) / sizeof(ANSWERS[0]) - 1;
    size_t i = 0;
    while (i < LAST_ANSWER && ANSWERS[i].iReason != reason)
        i++;
    const bool bReturns = i != LAST_ANSWER;
    debug_print(TAG, "%s", ANSWERS[i].pchName);
    // Success answers the stored document, and the envelope only when there is none.
    if (reason != RESPOND_REASON_SUCCESS || !m_pXmlDoc)
        __buildErrRespondXmlDoc(ANSWERS[i].iErrCode, ANSWERS[i].pchErrMsg);

    char head[160];
    int headLen = snprintf(head, sizeof(head),
        "Connection: Close\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: %ld\r\n\r\n",
        static_cast<long>(m_xmlDocSize));
    // The answer never goes through stdio, so no answer bytes can be pending in
    // a buffer when a signal or an exit ends the process. A client that went
    // away simply loses the answer.
    struct iovec iov[2]
        = { { head, static_cast<size_t>(headLen) }, { m_pXmlDoc, static_cast<size_t>(m_xmlDocSize) } };
    // The failure line first: a web server may end the run as soon as it has
    // the whole answer (lighttpd does), and the line must be in its log by then.
    if (reason != RESPOND_REASON_SUCCESS)
        write_failure_line();
    // An answer that could not be written is no success: the run ends with
    // the failure status, and the line says why (unless one went already).
    if (!write_all_iov(STDOUT_FILENO, iov, 2)) {
        note_failure("answer: write: %s", strerror(errno));
        write_failure_line();
        exit(-1);
    }

    if (!bReturns)
        exit(-1);
}

void CCgiProcessor::dumpValue()
{
    static const char TAG[] = "[CCgiProcessor::dumpValue]";
    const struct {
        const char* pchName;
        const char* pchValue;
    } vars[] = {
        { "SERVER_SOFTWARE", m_pchServerSoftware },
        { "SERVER_NAME", m_pchServerName },
        { "GATEWAY_INTERFACE", m_pchGatewayInterface },
        { "SERVER_PROTOCOL", m_pchServerProtocol },
        { "SERVER_PORT", m_pchServerPort },
        { "REQUEST_METHOD", m_pchRequestMethod },
        { "PATH_INFO", m_pchPathInfo },
        { "PATH_TRANSLATED", m_pchPathTranslated },
        { "SCRIPT_NAME", m_pchScriptName },
        { "QUERY_STRING", m_pchQueryString },
        { "REMOTE_HOST", m_pchRemoteHost },
        { "REMOTE_ADDR", m_pchRemoteAddr },
        { "AUTH_TYPE", m_pchAuthType },
        { "REMOTE_USER", m_pchRemoteUser },
        { "REMOTE_IDENT", m_pchRemoteIdent },
        { "CONTENT_TYPE", m_pchContentType },
        { "CONTENT_LENGTH", m_pchContentLength },
        { "HTTP_ACCEPT", m_pchHttpAccept },
        { "HTTP_USER_AGENT", m_pchHttpUserAgent },
        { "HTTP_REFERER", m_pchHttpReferer },
        { "HTTP_HOST", m_pchHostIp },
    };
    for (const auto& var : vars) {
        if (var.pchValue)
            debug_print(TAG, "%s:%s", var.pchName, var.pchValue);
    }
}

void CCgiProcessor::readRequestParams(const SRequestParam* pTable, size_t count, const char* traceTag)
{
    const char* pchMethod = getRequestMethod();
    if (!pchMethod)
        return;
    const bool bGet = strcmp(pchMethod, "GET") == 0;
    const bool bPost = strcmp(pchMethod, "POST") == 0;
    if (!bGet && !bPost)
        return;

    if (bPost) {
        // Read as atoi reads it (leading digits), but a number beyond int stays
        // what it says instead of wrapping: 2147483648 is positive.
        const char* pchLength = getContentLength();
        long long length = pchLength ? strtoll(pchLength, nullptr, 10) : 0;
        if (length <= 0)
            return;
        // The body's bytes are never used. Consume one bounded piece of it, as
        // the web interface's POSTs are small; the client's number decides no memory.
        char drain[CGI_BODY_DRAIN_SIZE];
        size_t want
            = length < static_cast<long long>(sizeof(drain)) ? static_cast<size_t>(length) : sizeof(drain);
        (void)read_some(STDIN_FILENO, drain, want);
    }

    const char* pchQuery = m_pchQueryString ? m_pchQueryString : "";
    size_t queryLen = strlen(pchQuery);
    // The split writes terminators into the buffer, never into the environment.
    char* pBuf = static_cast<char*>(calloc(queryLen + 2, 1));
    if (!pBuf)
        return;
    memcpy(pBuf, pchQuery, queryLen);
    split_request_params(pBuf, pTable, count, traceTag);
    free(pBuf);
}

char* CCgiProcessor::getQueryStringOrEmpty()
{
    static char s_chEmpty[1] = "";
    char* pchQuery = getQueryString();
    return pchQuery ? pchQuery : s_chEmpty;
}

void CCgiProcessor::traceMembers(const char* tag, const STraceMember* pTable, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (!pTable[i].pStr->empty())
            debug_print(tag, "%s:%s", pTable[i].pchName, pTable[i].pStr->c_str());
    }
}
