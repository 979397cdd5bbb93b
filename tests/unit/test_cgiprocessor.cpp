// The request context and the responder: the exact answer bytes for every
// reason code, the exit statuses, the CGI variable getters, the scratch file
// name and its removal.
#include <gtest/gtest.h>

#include <climits>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base_io.h"
#include "cgiprocessor.h"
#include "child_run.h"
#include "log_line.h"
#include "platform.h"

namespace {

// Exit status of a child whose respondToClient returned to its caller.
const int RETURNED = 42;

std::string answer(const std::string& doc)
{
    return "Connection: Close\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: "
        + std::to_string(doc.size()) + "\r\n\r\n" + doc;
}

// Builds a request context in a child, lets prepare() set its document, then
// answers with the reason. The child ends with RETURNED if the call returns.
template <typename Prepare> ChildResult respondInChild(int reason, Prepare prepare)
{
    return run_in_child([&]() {
        CCgiProcessor cgi;
        prepare(cgi);
        cgi.respondToClient(reason);
        return RETURNED;
    });
}

ChildResult respondInChild(int reason)
{
    return respondInChild(reason, [](CCgiProcessor&) {});
}

const char ENVELOPE_0[]
    = "{\"total_count\": 0, \"result\": \"failure\", \"errcode\": 0, \"errmsg\": \"ERROR\"}";
const char ENVELOPE_1[] = "{\"total_count\": 0, \"result\": \"failure\", \"errcode\": -3, \"errmsg\": "
                          "\"ERROR CANT CONNECT TO SERVER\"}";
const char ENVELOPE_2[]
    = "{\"total_count\": 0, \"result\": \"failure\", \"errcode\": -4, \"errmsg\": \"ERROR UNKNOW COMMAND\"}";
const char ENVELOPE_5[] = "{\"total_count\": 0, \"result\": \"failure\", \"errcode\": -2, \"errmsg\": "
                          "\"ERROR SERVER NOT EXIST\"}";
const char ENVELOPE_6[] = "{\"total_count\": 0, \"result\": \"failure\", \"errcode\": -5, \"errmsg\": "
                          "\"ERROR AUTHENTICATION FAIL\"}";
const char ENVELOPE_OTHER[]
    = "{\"total_count\": 0, \"result\": \"failure\", \"errcode\": -1, \"errmsg\": \"ERROR\"}";

struct ReasonCase {
    const char* label;
    int reason;
    const char* envelope;
    size_t envelopeLen; // the documented byte count, checked against the text too
    int exitCode; // RETURNED when the responder returns
};

const ReasonCase REASON_CASES[] = {
    { "cant connect", RESPOND_REASON_CANT_CONNECT, ENVELOPE_1, 96, RETURNED },
    { "not implemented", RESPOND_REASON_NOT_IMPLEMENT, ENVELOPE_2, 88, RETURNED },
    { "no body", RESPOND_REASON_NO_BODY, ENVELOPE_OTHER, 73, 255 },
    { "transfer fail", RESPOND_REASON_TRANSFER_FAIL, ENVELOPE_OTHER, 73, 255 },
    { "server not exist", RESPOND_REASON_SERVER_NOT_EXIST, ENVELOPE_5, 90, RETURNED },
    { "auth fail", RESPOND_REASON_AUTH_FAIL, ENVELOPE_6, 93, RETURNED },
    { "expectation failed -1", RESPOND_REASON_EXPECTATION_FAILED, ENVELOPE_OTHER, 73, 255 },
    { "first value above the table", 7, ENVELOPE_OTHER, 73, 255 },
    { "far above the table", 100, ENVELOPE_OTHER, 73, 255 },
    { "most negative int", INT_MIN, ENVELOPE_OTHER, 73, 255 },
};

} // namespace

TEST(CgiResponder, FailureReasonsWriteTheirEnvelopeAndExitStatus)
{
    for (const ReasonCase& c : REASON_CASES) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(c.envelopeLen, strlen(c.envelope));
        // A held document is replaced by the envelope, never sent.
        ChildResult r = respondInChild(c.reason, [](CCgiProcessor& cgi) { cgi.json_to_xml("x"); });
        ASSERT_TRUE(r.exited()) << "killed by signal " << r.termSignal();
        EXPECT_EQ(c.exitCode, r.exitCode());
        EXPECT_EQ(answer(c.envelope), r.out);
        // Same answer without a held document.
        ChildResult bare = respondInChild(c.reason);
        EXPECT_EQ(c.exitCode, bare.exitCode());
        EXPECT_EQ(answer(c.envelope), bare.out);
    }
}

TEST(CgiResponder, ReasonOneAnswerByteForByte)
{
    ChildResult r = respondInChild(RESPOND_REASON_CANT_CONNECT);
    EXPECT_EQ(RETURNED, r.exitCode());
    EXPECT_EQ(std::string("Connection: Close\r\n"
                          "Content-Type: application/json; charset=UTF-8\r\n"
                          "Content-Length: 96\r\n"
                          "\r\n")
            + ENVELOPE_1,
        r.out);
}

TEST(CgiResponder, SuccessWritesTheHeldDocument)
{
    struct {
        const char* label;
        std::string doc;
    } cases[] = {
        { "two-byte object", "{}" },
        { "empty document ends with the blank line", "" },
        { "multi-byte UTF-8 counted in bytes",
            "{\"title\": \"Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x9C\x93 \xF0\x9F\x93\xBA\"}" },
        { "CR LF and quotes passed unread", "line1\r\nline2 \"q\" \\ %s %n" },
        { "one MiB body written whole", std::string(1 << 20, 'a') + "}" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ChildResult r = respondInChild(
            RESPOND_REASON_SUCCESS, [&](CCgiProcessor& cgi) { cgi.json_to_xml(c.doc.c_str()); });
        EXPECT_EQ(RETURNED, r.exitCode());
        EXPECT_TRUE(r.out == answer(c.doc)) << "got " << r.out.size() << " bytes: " << r.out.substr(0, 200);
    }
    ChildResult multi
        = respondInChild(RESPOND_REASON_SUCCESS, [](CCgiProcessor& cgi) { cgi.json_to_xml("\xE2\x9C\x93"); });
    EXPECT_NE(std::string::npos, multi.out.find("Content-Length: 3\r\n"));
}

// A web server may hand the CGI a non-blocking pipe: the answer must still
// arrive whole, however often the pipe is full.
TEST(CgiResponder, NonBlockingStandardOutputGetsTheWholeAnswer)
{
    const std::string doc = std::string(1 << 20, 'n') + "}";
    ChildResult r = respondInChild(RESPOND_REASON_SUCCESS, [&](CCgiProcessor& cgi) {
        fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
        cgi.json_to_xml(doc.c_str());
    });
    EXPECT_EQ(RETURNED, r.exitCode());
    EXPECT_TRUE(r.out == answer(doc)) << "got " << r.out.size() << " bytes";
}

TEST(CgiResponder, SuccessAfterTwoDocumentsSendsTheSecond)
{
    ChildResult r = respondInChild(RESPOND_REASON_SUCCESS, [](CCgiProcessor& cgi) {
        cgi.json_to_xml("{\"first\": 1}");
        cgi.json_to_xml("{\"second\": 22}");
    });
    EXPECT_EQ(RETURNED, r.exitCode());
    EXPECT_EQ(answer("{\"second\": 22}"), r.out);
}

TEST(CgiResponder, SuccessWithoutDocumentSendsErrcodeZeroEnvelope)
{
    ASSERT_EQ(72u, strlen(ENVELOPE_0));
    ChildResult r = respondInChild(RESPOND_REASON_SUCCESS);
    EXPECT_EQ(RETURNED, r.exitCode());
    EXPECT_EQ(answer(ENVELOPE_0), r.out);
}

TEST(CgiResponder, CodeAfterAnExitingReasonNeverRuns)
{
    for (int reason : { RESPOND_REASON_NO_BODY, RESPOND_REASON_TRANSFER_FAIL }) {
        SCOPED_TRACE(reason);
        ChildResult r = run_in_child([reason]() {
            CCgiProcessor cgi;
            cgi.respondToClient(reason);
            static const char MARKER[] = "AFTER";
            ssize_t ignored = write(1, MARKER, sizeof MARKER - 1);
            (void)ignored;
            return 0;
        });
        EXPECT_EQ(255, r.exitCode());
        EXPECT_EQ(answer(ENVELOPE_OTHER), r.out);
    }
}

// One line a run, the first cause, written once, cut with the newline last;
// control bytes never forge a line.
TEST(CgiResponder, FailureLineIsOneCutLineWithoutControlBytes)
{
    ChildResult r = run_in_child([]() {
        int err[2];
        if (pipe(err) != 0 || dup2(err[1], STDERR_FILENO) < 0)
            return 1;
        set_failure_program("epg");
        set_failure_request("info", "list");
        note_failure("forged\r\nepg: x\x1b\x7f %s", std::string(300, 'w').c_str());
        note_failure("second");
        write_failure_line();
        write_failure_line();
        close(STDERR_FILENO);
        close(err[1]);
        char line[2 * DVR_FAILURE_LINE_MAX];
        ssize_t n = read(err[0], line, sizeof line);
        return n > 0 && write_all(STDOUT_FILENO, line, static_cast<size_t>(n)) ? 0 : 1;
    });
    ASSERT_EQ(static_cast<size_t>(DVR_FAILURE_LINE_MAX), r.out.size());
    EXPECT_EQ(0u, r.out.find("epg: info/list: forged??epg: x?? www"));
    EXPECT_EQ(r.out.size() - 1, r.out.find_first_of(std::string("\0\n\r\x1b\x7f", 5)));
}

TEST(CgiDocument, JsonToXmlKeepsItsOwnCopy)
{
    CCgiProcessor cgi;
    EXPECT_EQ(nullptr, cgi.getXmlDoc());
    char text[] = "{\"a\": 1}";
    EXPECT_TRUE(cgi.json_to_xml(text));
    text[2] = 'Z';
    ASSERT_NE(nullptr, cgi.getXmlDoc());
    EXPECT_NE(text, cgi.getXmlDoc());
    EXPECT_STREQ("{\"a\": 1}", cgi.getXmlDoc());
    EXPECT_EQ(8, cgi.getXmlDocSize());
    EXPECT_TRUE(cgi.json_to_xml(""));
    EXPECT_STREQ("", cgi.getXmlDoc());
    EXPECT_EQ(0, cgi.getXmlDocSize());
    // An adopted heap text is kept, not copied.
    char* pBody = strdup("{\"big\": 1}");
    EXPECT_TRUE(cgi.adoptDoc(pBody));
    EXPECT_EQ(pBody, cgi.getXmlDoc());
    EXPECT_FALSE(cgi.adoptDoc(nullptr));
}

TEST(CgiDocument, FailureEnvelopeFormatting)
{
    char buf[DVR_ERR_DOC_SIZE];
    format_err_envelope(buf, sizeof buf, -3, "ERROR CANT CONNECT TO SERVER");
    EXPECT_STREQ(ENVELOPE_1, buf);
    format_err_envelope(buf, sizeof buf, 0, "ERROR");
    EXPECT_STREQ(ENVELOPE_0, buf);

    // Cut at bufSize - 1 and always terminated.
    char small[11];
    memset(small, '#', sizeof small);
    format_err_envelope(small, sizeof small, -1, "ERROR");
    EXPECT_EQ(std::string(ENVELOPE_OTHER, 10), std::string(small));

    // A message longer than the buffer stays inside it.
    std::string longMsg(5000, 'm');
    format_err_envelope(buf, sizeof buf, -1, longMsg.c_str());
    EXPECT_EQ(sizeof buf - 1, strlen(buf));
}

namespace {

// Sets or clears one environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value)
        : m_name(name)
    {
        const char* old = getenv(name);
        m_hadOld = old != nullptr;
        if (m_hadOld)
            m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_hadOld)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::string m_old;
    bool m_hadOld;
};

} // namespace

TEST(CgiEnvironment, GettersAreNullWhenVariablesAreMissing)
{
    ScopedEnv cookie("HTTP_COOKIE", nullptr);
    ScopedEnv query("QUERY_STRING", nullptr);
    ScopedEnv method("REQUEST_METHOD", nullptr);
    ScopedEnv type("CONTENT_TYPE", nullptr);
    ScopedEnv length("CONTENT_LENGTH", nullptr);
    CCgiProcessor cgi;
    EXPECT_EQ(nullptr, cgi.getHttpCookie());
    EXPECT_EQ(nullptr, cgi.getQueryString());
    EXPECT_EQ(nullptr, cgi.getRequestMethod());
    EXPECT_EQ(nullptr, cgi.getContentType());
    EXPECT_EQ(nullptr, cgi.getContentLength());
}

TEST(CgiEnvironment, GettersPointIntoTheEnvironment)
{
    ScopedEnv cookie("HTTP_COOKIE", "NAS_SID=abc; lang=en");
    ScopedEnv query("QUERY_STRING", "subfunc=info&todo=list");
    ScopedEnv method("REQUEST_METHOD", "POST");
    ScopedEnv type("CONTENT_TYPE", "application/x-www-form-urlencoded");
    ScopedEnv length("CONTENT_LENGTH", "12");
    CCgiProcessor cgi;
    EXPECT_EQ(getenv("HTTP_COOKIE"), cgi.getHttpCookie());
    EXPECT_EQ(getenv("QUERY_STRING"), cgi.getQueryString());
    EXPECT_EQ(getenv("REQUEST_METHOD"), cgi.getRequestMethod());
    EXPECT_EQ(getenv("CONTENT_TYPE"), cgi.getContentType());
    EXPECT_EQ(getenv("CONTENT_LENGTH"), cgi.getContentLength());
    EXPECT_STREQ("subfunc=info&todo=list", cgi.getQueryString());
}

TEST(CgiScratchFile, NameCarriesOwnPidInHex)
{
    CCgiProcessor cgi;
    char expected[64];
    snprintf(expected, sizeof expected, "/tmp/dvrxmltmp%x.xml", static_cast<unsigned>(getpid()));
    EXPECT_STREQ(expected, cgi.getTempFileName());
}

namespace {

// In a new pid namespace the kernel hands out the pid after ns_last_pid, so a
// child can be given exactly the pid a case needs. Writes the scratch name of
// a process with each pid, one per line, or "SKIP" when namespaces are denied.
int scratchNamesForPids()
{
    if (unshare(CLONE_NEWPID) != 0) {
        ssize_t ignored = write(1, "SKIP", 4);
        (void)ignored;
        return 0;
    }
    pid_t init = fork();
    if (init < 0)
        return 1;
    if (init == 0) {
        for (pid_t want : { 255, 4660 }) {
            int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
            std::string last = std::to_string(want - 1);
            if (fd < 0 || write(fd, last.data(), last.size()) != static_cast<ssize_t>(last.size())) {
                ssize_t ignored = write(1, "SKIP", 4);
                (void)ignored;
                _exit(0);
            }
            close(fd);
            pid_t p = fork();
            if (p == 0) {
                CCgiProcessor cgi;
                std::string line = std::to_string(getpid()) + " " + cgi.getTempFileName() + "\n";
                ssize_t ignored = write(1, line.data(), line.size());
                (void)ignored;
                _exit(0);
            }
            waitpid(p, nullptr, 0);
        }
        _exit(0);
    }
    int st = 0;
    waitpid(init, &st, 0);
    return 0;
}

} // namespace

TEST(CgiScratchFile, NameForChosenPids)
{
    ChildResult r = run_in_child(scratchNamesForPids);
    if (r.out == "SKIP")
        GTEST_SKIP() << "no pid namespaces here";
    EXPECT_EQ("255 /tmp/dvrxmltmpff.xml\n4660 /tmp/dvrxmltmp1234.xml\n", r.out);
}

namespace {

// Resource use of the children reaped so far; it changes when any is reaped.
std::string childrenUsage()
{
    struct rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    return std::to_string(ru.ru_maxrss) + " " + std::to_string(ru.ru_minflt) + " "
        + std::to_string(ru.ru_utime.tv_sec * 1000000 + ru.ru_utime.tv_usec) + " "
        + std::to_string(ru.ru_stime.tv_sec * 1000000 + ru.ru_stime.tv_usec);
}

} // namespace

TEST(CgiScratchFile, DestructorRemovesTheFileWithoutStartingAProcess)
{
    // Exit codes: 0 fine, 1 file left, 2 a process was started, 3 setup failed.
    ChildResult r = run_in_child([]() {
        // No search path: a removal through a shell would find no rm.
        setenv("PATH", "/nonexistent", 1);
        const std::string usageBefore = childrenUsage();
        std::string name;
        {
            CCgiProcessor cgi;
            name = cgi.getTempFileName();
            int fd = open(name.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
            if (fd < 0)
                return 3;
            close(fd);
            cgi.json_to_xml("{}");
        }
        if (access(name.c_str(), F_OK) == 0) {
            unlink(name.c_str());
            return 1;
        }
        return childrenUsage() == usageBefore ? 0 : 2;
    });
    EXPECT_EQ(0, r.exitCode());
}

TEST(CgiScratchFile, DestructorWithoutFileAndOnASymlink)
{
    // 0 fine, 1 the symlink's target went, 2 the symlink stayed, 3 setup failed.
    ChildResult r = run_in_child([]() {
        {
            CCgiProcessor nothingThere;
        }
        char target[] = "/tmp/dvr_unit_targetXXXXXX";
        int fd = mkstemp(target);
        if (fd < 0)
            return 3;
        close(fd);
        std::string name;
        {
            CCgiProcessor cgi;
            name = cgi.getTempFileName();
            unlink(name.c_str());
            if (symlink(target, name.c_str()) != 0)
                return 3;
        }
        int rc = 0;
        if (access(target, F_OK) != 0)
            rc = 1;
        struct stat st;
        if (lstat(name.c_str(), &st) == 0) {
            unlink(name.c_str());
            rc = 2;
        }
        unlink(target);
        return rc;
    });
    EXPECT_EQ(0, r.exitCode());
}
