// The forward road of both programs: the request to the backend, its answer
// body as the CGI answer.
#ifndef DVR_CGI_FORWARD_H
#define DVR_CGI_FORWARD_H

#include <string>

#include "base_io.h"
#include "cgiprocessor.h"
#include "small_http.h"

// Forwards with method to path on the backend and answers with the body. No
// body: reason 3; a body the answer document did not take: reason 4; both end
// the process with 255. The body is held once: the answer document keeps the
// client's buffer. pfnStillServing as CSmallHttp::exchange takes it.
// TRequest is a request class, with its own json_to_xml and isTransferSuccess.
template <class TRequest>
void forward_to_backend(TRequest& request, CSmallHttp& http, const char* method, const char* path,
    const std::string& query, bool (*pfnStillServing)() = nullptr)
{
    const char* pEntiyBody = http.exchange(method, path, query, pfnStillServing);
    if (!pEntiyBody)
        request.respondToClient(RESPOND_REASON_NO_BODY);
    debug_print("[main]", "pEntiyBody:%s", pEntiyBody);
    request.offerDocBuffer(http.releaseEntiyBody());
    request.json_to_xml(pEntiyBody);
    request.respondToClient(
        request.isTransferSuccess() ? RESPOND_REASON_SUCCESS : RESPOND_REASON_TRANSFER_FAIL);
}

#endif
