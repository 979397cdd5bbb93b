// tunerbay: the tuner-adapter CGI. Answers by itself or forwards the request to
// the TV backend and relays its answer, by the pair ("subfunc", "todo").
#include <stdlib.h>
#include <string.h>
#include <string>

#include "base_io.h"
#include "fault_signal.h"
#include "forward.h"
#include "log_line.h"
#include "platform.h"
#include "proc_lookup.h"
#include "run_command.h"
#include "session.h"
#include "small_http.h"
#include "tunerbay.h"

namespace {

const char OK_ANSWER[]
    = "{\"result\":\"success\",\"errcode\":0,\"errmsg\":\"OK\",\"total_count\":0,\"enable_dvr\":0}";
const char SUCCESS_ANSWER[]
    = "{\"result\":\"success\",\"errcode\":0,\"errmsg\":\"SUCCESS\",\"enable_dvr\":0}";
const char SERVER_MISSING_ANSWER[]
    = "{\"result\":\"failure\",\"errcode\":-2,\"errmsg\":\"ERROR SERVER NOT EXIST\",\"total_count\":0,\"enable_dvr\":0}";
const char FAILURE_ANSWER[] = "{\"result\":\"failure\",\"errcode\":-1,\"errmsg\":\"ERROR\",\"enable_dvr\":0}";
const char NOT_READY_ANSWER[]
    = "{\"entries\": [], \"result\": \"fail\", \"errcode\": -99, \"total_count\": 0, "
      "\"errmsg\": \"tvheadend isn't ready.\"}";

enum EAction {
    FORWARD_GET,
    FORWARD_POST,
    SELF_ANSWER, // one of the fixed answers above, sent as a success
    SELF_FAILURE, // a fixed answer that reports a failure: sent the same way, with the failure line
    NOT_IMPLEMENT, // the unknown-command error, traced with the text
};

enum EEnding {
    RETURN_0, // tear down the client and the request object, then end
    EXIT_0, // end at once, without tear-down
};

struct SStep {
    EAction eAction;
    const char* pchText;
    EEnding eEnding;
};

// One row of the decision table. A null todo stands for every other action of
// the sub-function. Rows without a backend check take "running" always.
struct SRow {
    const char* pchSubFunc;
    const char* pchToDo;
    bool bCheckBackend;
    SStep running;
    SStep stopped;
};

const SStep STEP_FORWARD_GET = { FORWARD_GET, nullptr, RETURN_0 };
const SStep STEP_FORWARD_POST = { FORWARD_POST, nullptr, RETURN_0 };

// The option update ("option", "update") has its own code below: it may switch
// the DVR service.
const SRow ROWS[] = {
    { "option", "get", true, STEP_FORWARD_GET, { SELF_FAILURE, SERVER_MISSING_ANSWER, RETURN_0 } },
    { "option", nullptr, false, { NOT_IMPLEMENT, "no suitable todo with subfunc=option", RETURN_0 }, {} },
    { "info", "list", true, STEP_FORWARD_GET, { SELF_FAILURE, NOT_READY_ANSWER, EXIT_0 } },
    { "info", nullptr, false, { NOT_IMPLEMENT, "no suitable todo with subfunc=info", EXIT_0 }, {} },
    { "region", "list", true, STEP_FORWARD_GET, { SELF_ANSWER, OK_ANSWER, EXIT_0 } },
    { "region", "update", true, STEP_FORWARD_GET, { SELF_FAILURE, FAILURE_ANSWER, EXIT_0 } },
    { "region", "get", true, STEP_FORWARD_GET, { SELF_FAILURE, FAILURE_ANSWER, EXIT_0 } },
    { "region", nullptr, false, { NOT_IMPLEMENT, "no suitable todo with subfunc=region", RETURN_0 }, {} },
    { "network", "list", true, STEP_FORWARD_GET, { SELF_ANSWER, OK_ANSWER, RETURN_0 } },
    { "network", "add", true, STEP_FORWARD_POST, { SELF_FAILURE, FAILURE_ANSWER, EXIT_0 } },
    { "network", "delete", true, STEP_FORWARD_POST, { SELF_FAILURE, FAILURE_ANSWER, EXIT_0 } },
    { "network", nullptr, false, { NOT_IMPLEMENT, "no suitable todo with subfunc=network", RETURN_0 }, {} },
    { "feoption", "list", true, STEP_FORWARD_GET, { SELF_ANSWER, OK_ANSWER, EXIT_0 } },
    { "feoption", nullptr, false, { NOT_IMPLEMENT, "no suitable todo with subfunc=feoption", RETURN_0 }, {} },
    { "scan", "get", false, STEP_FORWARD_GET, {} },
    { "scan", nullptr, false, { SELF_ANSWER, OK_ANSWER, EXIT_0 }, {} },
};

const SStep STEP_NO_SUITABLE_SUBFUNC = { NOT_IMPLEMENT, "no suitable subfunc", RETURN_0 };

class CTunerBayRun {
public:
    CTunerBayRun(CTunerBay& request, CSmallHttp& http, std::string& respondData)
        : m_request(request)
        , m_http(http)
        , m_respondData(respondData)
    {
    }

    // Sends a fixed answer with the success headers.
    void answer(const char* pchText)
    {
        m_respondData.append(pchText);
        const char* pEntiyBody = m_respondData.c_str();
        m_request.json_to_xml(pEntiyBody);
        m_request.respondToClient(RESPOND_REASON_SUCCESS);
    }

    // Forwards to the backend: a backend gone by the time the request is sent
    // makes an empty answer.
    void forward(const char* pchMethod, const std::string& query)
    {
        forward_to_backend(m_request, m_http, pchMethod, DVR_TUNERBAY_PATH, query, true);
    }

    // Carries out one step of the table; returns only on RETURN_0.
    void run(const SStep& step)
    {
        switch (step.eAction) {
        case FORWARD_GET:
            forward("GET", m_request.getQueryString());
            break;
        case FORWARD_POST:
            forward("POST", m_request.getQueryString());
            break;
        case SELF_ANSWER:
            answer(step.pchText);
            break;
        case SELF_FAILURE:
            // The line before the answer, as the responder writes it.
            write_failure_line();
            answer(step.pchText);
            break;
        case NOT_IMPLEMENT:
            debug_print("[tunerbay]", "%s", step.pchText);
            m_request.respondToClient(RESPOND_REASON_NOT_IMPLEMENT);
            break;
        }
        if (step.eEnding == EXIT_0)
            exit(0);
    }

private:
    CTunerBay& m_request;
    CSmallHttp& m_http;
    std::string& m_respondData;
};

// Runs the DVR service script, waiting for its end at most its limit: one
// still running then goes on by itself, and the answer goes on as after its
// end. Its failure is noted: the answer cannot say so, but a forward that then
// fails names it as the cause. The script's result, as run_service_script's.
int run_dvr_service(const char* pchAction)
{
    const char* argv[] = { DVR_SERVICE_SCRIPT, pchAction, nullptr };
    const int result = run_service_script(argv, DVR_SERVICE_SCRIPT_DEADLINE_SEC * 1000L);
    if (result != 0)
        note_failure("%s %s: %s", DVR_SERVICE_SCRIPT, pchAction, last_run_failure());
    return result;
}

// The option update, which may start or stop the DVR service.
void option_update(CTunerBay& tunerbay, CTunerBayRun& run)
{
    const bool bRunning = is_process_exist(DVR_BACKEND_NAME);
    if (!tunerbay.isWantToEnableDvr()) {
        if (bRunning) {
            run_dvr_service("stop");
            run.answer(OK_ANSWER);
        } else {
            run.answer(SUCCESS_ANSWER);
        }
        exit(0);
    }
    if (!bRunning) {
        // The backend gets its time to come up once the script has ended. A
        // script that could not be started brings nothing up, and one still
        // running at its limit has had that time and more.
        const int result = run_dvr_service("start");
        if (result != RUN_NOT_STARTED && result != RUN_STILL_RUNNING) {
            const struct timespec upBy = moment_after_ms(DVR_SERVICE_START_WAIT_SEC * 1000L);
            wait_ready(nullptr, 0, &upBy);
        }
    }
    std::string query = "subfunc=option&todo=update&index=";
    query += tunerbay.getAdapterIndex();
    query += tunerbay.isWantToEnableIdleScan() ? "&entry={\"idlescan\":1}" : "&entry={\"idlescan\":0}";
    run.forward("GET", query);
}

#ifdef DVR_TUNERBAY_SESSION_CHECK
const bool STEP_CHECK_SESSION = true;
#else
const bool STEP_CHECK_SESSION = false;
#endif

// With the session check built in, a request that would act on the DVR service
// or reach the backend needs a session the NAS login service confirms, as epg does.
void require_session(CTunerBay& tunerbay)
{
    if (!STEP_CHECK_SESSION)
        return;
    char username[NAS_USERNAME_SIZE];
    memset(username, 0, sizeof(username));
    const char* sid = tunerbay.getSid().empty() ? nullptr : tunerbay.getSid().c_str();
    if (login_Ovra_with_sid(sid, username) != 0) {
        tunerbay.respondToClient(RESPOND_REASON_AUTH_FAIL);
        exit(0);
    }
}

} // namespace

int main()
{
    CTunerBay tunerbay;
    CSmallHttp http(DVR_BACKEND_IP, DVR_BACKEND_PORT);
    std::string subFunc;
    std::string toDo;
    std::string respond_data;
    CTunerBayRun run(tunerbay, http, respond_data);

    set_failure_program("tunerbay");
    tunerbay.dumpValue();
    _signal_manager();
    subFunc = tunerbay.getSubFunc();
    toDo = tunerbay.getToDo();

    if (subFunc == "option" && toDo == "update") {
        set_failure_request("option", "update");
        require_session(tunerbay);
        option_update(tunerbay, run);
        return 0;
    }
    for (const SRow& row : ROWS) {
        if (subFunc != row.pchSubFunc || (row.pchToDo && toDo != row.pchToDo))
            continue;
        set_failure_request(row.pchSubFunc, row.pchToDo);
        if (row.running.eAction == FORWARD_GET || row.running.eAction == FORWARD_POST)
            require_session(tunerbay);
        const bool bRunning = !row.bCheckBackend || is_process_exist(DVR_BACKEND_NAME);
        if (!bRunning)
            note_failure("backend process not running");
        run.run(bRunning ? row.running : row.stopped);
        return 0;
    }
    run.run(STEP_NO_SUITABLE_SUBFUNC);
    return 0;
}
