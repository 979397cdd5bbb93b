// The forward road of both programs: the request to the backend, its answer
// body as the CGI answer.
#ifndef DVR_CGI_FORWARD_H
#define DVR_CGI_FORWARD_H

#include <string.h>

#include <string>

#include "cgiprocessor.h"
#include "log_line.h"
#include "platform.h"
#include "proc_lookup.h"
#include "small_http.h"

// Forwards with method to path on the backend and answers with the body. No
// body: reason 3; a body the answer document did not take: reason 4; both end
// the process with 255. The body is held once: the answer document adopts the
// client's buffer. With bRecheckBackend the backend process is looked for again
// once the request is sent: one that has ended by then is not waited for, and
// its answer is the empty text. Each failure notes its cause (log_line.h).
// TRequest is a request class, with its own json_to_xml, adoptDoc and isTransferSuccess.
template <class TRequest>
void forward_to_backend(TRequest& request, CSmallHttp& http, const char* method, const char* path,
    const std::string& query, bool bRecheckBackend = false)
{
    http.sendRequest(method, path, query);
    const bool bGone = bRecheckBackend && !is_process_exist(DVR_BACKEND_NAME);
    const char* pEntiyBody = bGone ? "" : http.getHttpRespondEntiyBody();
    if (bGone) {
        // The empty answer reports the failure: its line goes now.
        note_failure("backend process not running");
        write_failure_line();
    }
    if (!pEntiyBody) {
        http.noteFailure("backend");
        request.respondToClient(RESPOND_REASON_NO_BODY);
    }
    debug_print("[main]", "pEntiyBody:%s", pEntiyBody);
    request.adoptDoc(bGone ? strdup("") : http.releaseEntiyBody());
    if (!request.isTransferSuccess())
        note_failure("backend answer: no memory for the document");
    request.respondToClient(
        request.isTransferSuccess() ? RESPOND_REASON_SUCCESS : RESPOND_REASON_TRANSFER_FAIL);
}

#endif
