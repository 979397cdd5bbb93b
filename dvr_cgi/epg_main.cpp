// epg: the programme-guide CGI. Checks the backend and the caller's NAS session,
// then forwards guide and recording requests to the TV backend.
#include <stdlib.h>
#include <string.h>
#include <string>

#include "epg.h"
#include "fault_signal.h"
#include "forward.h"
#include "log_line.h"
#include "platform.h"
#include "proc_lookup.h"
#include "session.h"
#include "small_http.h"

namespace {

// One row of the decision table; a null todo stands for every other action.
// Rows without a method refuse the request with the unknown-command error.
struct SRow {
    const char* pchSubFunc;
    const char* pchToDo;
    const char* pchMethod;
    const char* pchTrace;
    bool bExit;
};

const SRow ROWS[] = {
    { "info", "list", "GET", nullptr, false },
    { "info", "list_more", "GET", nullptr, false },
    { "info", nullptr, nullptr, "no suitable todo with subfunc=info", true },
    { "record", "add", "POST", nullptr, false },
    { "record", nullptr, nullptr, "no suitable todo with subfunc=record", false },
    { "smart", "add", "GET", nullptr, false },
    { "smart", nullptr, nullptr, "no suitable todo with subfunc=smart", false },
};

const SRow ROW_NO_SUITABLE_SUBFUNC = { "", nullptr, nullptr, "no suitable subfunc", false };

const SRow& choose_row(const std::string& subFunc, const std::string& toDo)
{
    for (const SRow& row : ROWS) {
        if (subFunc == row.pchSubFunc && (!row.pchToDo || toDo == row.pchToDo))
            return row;
    }
    return ROW_NO_SUITABLE_SUBFUNC;
}

} // namespace

int main()
{
    CEpg epg;
    CSmallHttp http(DVR_BACKEND_IP, DVR_BACKEND_PORT);
    std::string subFunc;
    std::string toDo;
    char username[NAS_USERNAME_SIZE];
    memset(username, 0, sizeof(username));

    set_failure_program("epg");
    epg.dumpValue();
    subFunc = epg.getSubFunc();
    toDo = epg.getToDo();
    const SRow& row = choose_row(subFunc, toDo);
    if (&row != &ROW_NO_SUITABLE_SUBFUNC)
        set_failure_request(row.pchSubFunc, row.pchToDo);
    if (!is_process_exist(DVR_BACKEND_NAME)) {
        note_failure("backend process not running");
        epg.respondToClient(RESPOND_REASON_SERVER_NOT_EXIST);
        exit(0);
    }
    _signal_manager();
    if (!http.connectToServer()) {
        debug_print("[main]", "connect to server fail");
        http.noteFailure("backend");
        epg.respondToClient(RESPOND_REASON_CANT_CONNECT);
        exit(0);
    }
    // The backend connection stays open while the session is checked.
    if (login_Ovra_with_sid(epg.getSessionId(), username) != 0) {
        epg.respondToClient(RESPOND_REASON_AUTH_FAIL);
        exit(0);
    }

    if (!row.pchMethod) {
        debug_print("[CEpg]", "%s", row.pchTrace);
        epg.respondToClient(RESPOND_REASON_NOT_IMPLEMENT);
        if (row.bExit)
            exit(0);
        return 0;
    }

    forward_to_backend(epg, http, row.pchMethod, DVR_EPG_PATH, epg.getQueryString());
    return 0;
}
