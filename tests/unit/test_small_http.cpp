// CSmallHttp against the scripted stand-in server: the request bytes, the
// answer parser, bodies by Content-Length, the failures that give no body,
// and the transport-stream relay (in a forked child, standard output captured).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime; its header is not always installed.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "child_run.h"
#include "scripted_server.h"
#include "small_http.h"

namespace {

const char RELAY_HEADER[] = "Server: HTS/tvheadend\r\nCache-Control: no-cache\r\nConnection: Close\r\n"
                            "Content-Type: video/mp2t\r\n\r\n";
const char TS_HEAD[] = "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nConnection: Close\r\n\r\n";

std::string composed(const char* method, const char* path, const std::string& query,
    const char* ip = "127.0.0.1", int port = 9981)
{
    CSmallHttp http(ip, port);
    http.setHttpMethod(method);
    http.setHttpAbsPath(path);
    http.setHttpQueryString(query);
    http.buildHttpHeader();
    return std::string(http.getRequestText(), http.getRequestLength());
}

// What one exchange produced.
struct SAnswer {
    bool hasBody = false;
    std::string body;
    int status = -1;
    int contentLength = -1;
    std::string contentType;
    connect_state_e connection = CONNECTION_CLOSE_E;
    int sent = 0;
    std::string request; // as the server received it
};

// Connects to a server, sends one request and reads the answer.
SAnswer ask(int port, const char* method = "GET", const std::string& query = "subfunc=info&todo=list")
{
    SAnswer a;
    CSmallHttp http("127.0.0.1", port);
    http.setHttpMethod(method);
    http.setHttpAbsPath("/xrec/epg.cgi");
    http.setHttpQueryString(query);
    http.buildHttpHeader();
    if (!http.connectToServer())
        return a;
    a.sent = http.sendHttpRequest();
    const char* body = http.getHttpRespondEntiyBody();
    a.hasBody = body != nullptr;
    if (body)
        a.body = body;
    a.status = http.getRespondStatus();
    a.contentLength = http.getContentLength();
    a.contentType = http.getContentType();
    a.connection = http.getConnectionState();
    return a;
}

// One exchange against a fresh server that answers with `script`.
SAnswer exchange(const CAnswerScript& script, const char* method = "GET",
    const std::string& query = "subfunc=info&todo=list")
{
    CScriptedServer server;
    server.setDefaultAnswer(script);
    EXPECT_TRUE(server.start());
    SAnswer a = ask(server.port(), method, query);
    server.waitRequest(1, &a.request, 3000);
    return a;
}

CAnswerScript answer(const std::string& bytes)
{
    CAnswerScript s;
    s.bytes(bytes);
    return s;
}

// Bytes of the heap in use, as the allocator in this build counts them.
size_t heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
#endif
}

// Child exit codes of the exchanges run in a child.
enum { CHILD_NO_BODY = 0, CHILD_BODY = 1, CHILD_SETUP = 2, CHILD_TOO_MUCH_MEMORY = 3, CHILD_SEND_OK = 4 };

int ask_in_child(int port, int relaySilenceMs = HTTP_RELAY_SILENCE_LIMIT_SEC * 1000)
{
    CSmallHttp http("127.0.0.1", port);
    http.setLimits(HTTP_SILENCE_LIMIT_SEC * 1000, HTTP_EXCHANGE_DEADLINE_SEC * 1000, relaySilenceMs);
    http.setHttpMethod("GET");
    http.setHttpAbsPath("/xrec/tunerbay.cgi");
    http.setHttpQueryString("subfunc=scan&todo=get");
    http.buildHttpHeader();
    if (!http.connectToServer())
        return CHILD_SETUP;
    http.sendHttpRequest();
    return http.getHttpRespondEntiyBody() ? CHILD_BODY : CHILD_NO_BODY;
}

// Interrupts the process every `micros` microseconds with a signal whose
// handler does not restart system calls: each blocking call may end with
// EINTR or, after part of its work, short.
void interrupt_often(int micros)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGALRM, &sa, nullptr);
    struct itimerval it;
    it.it_interval.tv_sec = 0;
    it.it_interval.tv_usec = micros;
    it.it_value = it.it_interval;
    setitimer(ITIMER_REAL, &it, nullptr);
}

// For a child that ends through exit() (the relay does): end it with that
// status at once. The leak checker of sanitizer builds would otherwise run in a
// child forked from a process with a server thread, and take the thread's
// memory, which the child cannot see in use, for leaks.
void exit_without_leak_check()
{
    on_exit([](int status, void*) { _exit(status); }, nullptr);
}

ChildOptions quick_child()
{
    ChildOptions o;
    o.timeoutSec = 15; // a client that spins is ended and shows as SIGKILL
    return o;
}

} // namespace

// ---------------------------------------------------------------------------
// The request bytes

TEST(HttpRequest, ComposedBytes)
{
    struct Case {
        const char* label;
        const char* method;
        const char* path;
        std::string query;
        std::string expected;
    } cases[] = {
        { "GET with query", "GET", "/xrec/epg.cgi", "subfunc=info&todo=list",
            "GET /xrec/epg.cgi?subfunc=info&todo=list HTTP/1.1\r\n\r\n" },
        { "GET without query has no ?", "GET", "/xrec/epg.cgi", "", "GET /xrec/epg.cgi HTTP/1.1\r\n\r\n" },
        { "query forwarded unencoded", "GET", "/xrec/tunerbay.cgi",
            "subfunc=option&todo=update&index=0&entry={\"idlescan\":1}",
            "GET /xrec/tunerbay.cgi?subfunc=option&todo=update&index=0&entry={\"idlescan\":1} "
            "HTTP/1.1\r\n\r\n" },
        { "POST", "POST", "/xrec/tunerbay.cgi", "subfunc=network&todo=add",
            "POST /xrec/tunerbay.cgi HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "Host: 127.0.0.1:9981 \r\nContent-Length: 24\r\n\r\nsubfunc=network&todo=add" },
        { "POST body with final line feed", "POST", "/x", "sid=abc&service=100\n",
            "POST /x HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "Host: 127.0.0.1:9981 \r\nContent-Length: 20\r\n\r\nsid=abc&service=100\n" },
        { "POST without body", "POST", "/x", "",
            "POST /x HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "Host: 127.0.0.1:9981 \r\nContent-Length: 0\r\n\r\n" },
        { "bytes that would break the request line are encoded, others travel as sent", "GET", "/x",
            "a=1 2\r\nGET /y\t\x7f\x01&b=\"{}\"\xc3\xa9%41",
            "GET /x?a=1%202%0D%0AGET%20/y%09%7F%01&b=\"{}\"\xc3\xa9%41 HTTP/1.1\r\n\r\n" },
        { "a NUL in the query is encoded too", "GET", "/x", std::string("a\0b", 3),
            "GET /x?a%00b HTTP/1.1\r\n\r\n" },
        { "method in other case", "get", "/x", "a=1", "" },
        { "other method", "PUT", "/x", "a=1", "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(composed(c.method, c.path, c.query), c.expected);
    }
    EXPECT_EQ(composed("GET", "/xrec/epg.cgi", "subfunc=info&todo=list").size(), 53u);
    EXPECT_EQ(composed("POST", "/cgi-bin/authLogin.cgi", "a=1", "127.0.0.1", 8080),
        "POST /cgi-bin/authLogin.cgi HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Host: 127.0.0.1:8080 \r\nContent-Length: 3\r\n\r\na=1");
}

// A request that does not fit the fixed buffer is composed whole, not cut.
TEST(HttpRequest, LongRequestsAreComposedWhole)
{
    const std::string fixedPart = "GET /x? HTTP/1.1\r\n\r\n";
    for (size_t total : { size_t(1023), size_t(1024), size_t(1025), size_t(5000) }) {
        SCOPED_TRACE("total " + std::to_string(total));
        std::string query = "entries=" + std::string(total - fixedPart.size() - 8, '7');
        std::string text = composed("GET", "/x", query);
        EXPECT_EQ(text, "GET /x?" + query + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(strlen(text.c_str()), text.size());
    }
    std::string body(3000, 'b');
    std::string post = composed("POST", "/x", body);
    EXPECT_NE(post.find("Content-Length: 3000\r\n\r\n" + body), std::string::npos);
    EXPECT_EQ(post.size(), post.find("\r\n\r\n") + 4 + 3000);
}

TEST(HttpRequest, RebuildingReplacesALongRequest)
{
    CSmallHttp http("127.0.0.1", 9981);
    http.setHttpMethod("GET");
    http.setHttpAbsPath("/x");
    http.setHttpQueryString(std::string(2000, 'q'));
    http.buildHttpHeader();
    EXPECT_EQ(http.getRequestLength(), 2000u + 20);
    http.setHttpQueryString("a=1");
    http.buildHttpHeader();
    EXPECT_EQ(std::string(http.getRequestText()), "GET /x?a=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(http.getRequestLength(), 23u);
}

TEST(HttpRequest, ServerReceivesLongRequestsWhole)
{
    std::string entries = "entries=" + std::string(6000, 'e');
    SAnswer get = exchange(CAnswerScript::defaultAnswer(), "GET", entries);
    EXPECT_EQ(get.request, "GET /xrec/epg.cgi?" + entries + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(get.sent, static_cast<int>(get.request.size()));
    EXPECT_EQ(get.body, "{}");

    // A body larger than a socket buffer takes several sends.
    std::string big = "entries=" + std::string(3 * 1024 * 1024, 'p');
    SAnswer post = exchange(CAnswerScript::defaultAnswer(), "POST", big);
    std::string head = "POST /xrec/epg.cgi HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n";
    ASSERT_GT(post.request.size(), head.size());
    EXPECT_EQ(post.request.substr(0, head.size()), head);
    EXPECT_EQ(post.request.size(), post.request.find("\r\n\r\n") + 4 + big.size());
    EXPECT_EQ(post.sent, static_cast<int>(post.request.size()));
    EXPECT_TRUE(post.hasBody);
}

TEST(HttpRequest, UnknownMethodSendsNothing)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    CSmallHttp http("127.0.0.1", 9981);
    http.getTcp().attachSocket(sv[0]);
    http.setHttpMethod("DELETE");
    http.setHttpAbsPath("/x");
    http.buildHttpHeader();
    EXPECT_EQ(http.getRequestLength(), 0u);
    EXPECT_EQ(http.sendHttpRequest(), 0);
    char c;
    EXPECT_EQ(recv(sv[1], &c, 1, MSG_DONTWAIT), -1);
    close(sv[1]);
}

// ---------------------------------------------------------------------------
// The answer parser and the body

TEST(HttpAnswer, ParserRules)
{
    struct Case {
        const char* label;
        std::string answer;
        bool hasBody;
        std::string body;
        int status;
        int contentLength;
        std::string contentType;
        connect_state_e connection;
    } cases[] = {
        { "one piece", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", true, "hello", 200, 5, "",
            CONNECTION_CLOSE_E },
        { "HTTP/1.0", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n{}", true, "{}", 200, 2, "",
            CONNECTION_CLOSE_E },
        { "status without reason", "HTTP/1.1 200\r\nContent-Length: 2\r\n\r\n{}", true, "{}", 200, 2, "",
            CONNECTION_CLOSE_E },
        { "HTTP/2", "HTTP/2 200 OK\r\nContent-Length: 2\r\n\r\n{}", false, "", 0, 0, "", CONNECTION_CLOSE_E },
        { "version in lower case", "http/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", false, "", 0, 0, "",
            CONNECTION_CLOSE_E },
        { "two blanks before status", "HTTP/1.1  200 OK\r\nContent-Length: 2\r\n\r\n{}", false, "", 0, 0, "",
            CONNECTION_CLOSE_E },
        { "404", "HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\n{}", false, "", 404, 0, "",
            CONNECTION_CLOSE_E },
        { "302", "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n", false, "", 302, 0, "", CONNECTION_CLOSE_E },
        { "500", "HTTP/1.1 500 Oops\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}", false,
            "", 500, 0, "", CONNECTION_CLOSE_E },
        // The status is exactly three digits, then a blank or the line's end,
        // on the first line.
        { "more than three digits", "HTTP/1.1 99999999999 X\r\n\r\n", false, "", 0, 0, "",
            CONNECTION_CLOSE_E },
        { "200abc", "HTTP/1.1 200abc\r\nContent-Length: 2\r\n\r\n{}", false, "", 0, 0, "",
            CONNECTION_CLOSE_E },
        { "+200", "HTTP/1.1 +200 OK\r\nContent-Length: 2\r\n\r\n{}", false, "", 0, 0, "",
            CONNECTION_CLOSE_E },
        { "status line after a junk line", "junk\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", false,
            "", 0, 0, "", CONNECTION_CLOSE_E },
        // A field name in any letter case, and a value with or without blanks
        // around it, is read: ten bytes are waited for, five come, no body.
        // A blank in front of the colon makes no field.
        { "content-length in lower case", "HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\nhello", false, "",
            200, 10, "", CONNECTION_CLOSE_E },
        { "no blank after colon", "HTTP/1.1 200 OK\r\nContent-Length:10\r\n\r\nhello", false, "", 200, 10, "",
            CONNECTION_CLOSE_E },
        { "blanks around the value", "HTTP/1.1 200 OK\r\nContent-Type: \t application/json \r\n\r\n{}", true,
            "{}", 200, 0, "application/json", CONNECTION_CLOSE_E },
        { "blank in front of the colon", "HTTP/1.1 200 OK\r\nContent-Length : 10\r\n\r\nhello", true, "hello",
            200, 0, "", CONNECTION_CLOSE_E },
        { "later header overwrites, the same length twice",
            "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Type: a\r\n"
            "Content-Length: 5\r\nContent-Type: b\r\n\r\nhello",
            true, "hello", 200, 5, "b", CONNECTION_CLOSE_E },
        // A Content-Length that leaves the body's end unknown: no document.
        { "two different lengths", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\nhello!!",
            false, "", 200, 7, "", CONNECTION_CLOSE_E },
        { "length -1", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nabc", false, "", 200, 0, "",
            CONNECTION_CLOSE_E },
        { "length -99999999999999999999",
            "HTTP/1.1 200 OK\r\nContent-Length: -99999999999999999999\r\n\r\nabc", false, "", 200, 0, "",
            CONNECTION_CLOSE_E },
        { "length +3", "HTTP/1.1 200 OK\r\nContent-Length: +3\r\n\r\nabc", false, "", 200, 0, "",
            CONNECTION_CLOSE_E },
        { "length 3x", "HTTP/1.1 200 OK\r\nContent-Length: 3x\r\n\r\nabc", false, "", 200, 0, "",
            CONNECTION_CLOSE_E },
        { "Transfer-Encoding identity is no coding",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: identity\r\nContent-Length: 2\r\n\r\n{}", true, "{}", 200,
            2, "", CONNECTION_CLOSE_E },
        { "Connection: Keep-Alive",
            "HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\n{}", true, "{}", 200, 2,
            "", CONNECTION_KEEP_ALIVE_E },
        { "Connection: close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}", true,
            "{}", 200, 2, "", CONNECTION_UNKNOW_E },
        { "Connection: Close", "HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\nConnection: Close\r\n\r\n{}",
            true, "{}", 200, 0, "", CONNECTION_CLOSE_E },
        { "Connection: keep-alive", "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\n{}", true, "{}", 200, 0,
            "", CONNECTION_UNKNOW_E },
        { "content type kept whole",
            "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=UTF-8\r\n\r\n{}", true, "{}", 200, 0,
            "application/json; charset=UTF-8", CONNECTION_CLOSE_E },
        { "Video/MP2T is not a stream", "HTTP/1.1 200 OK\r\nContent-Type: Video/MP2T\r\n\r\nxy", true, "xy",
            200, 0, "Video/MP2T", CONNECTION_CLOSE_E },
        { "header line without blank", "HTTP/1.1 200 OK\r\nX-Flag\r\nContent-Length: 2\r\n\r\n{}", true, "{}",
            200, 2, "", CONNECTION_CLOSE_E },
        { "no status line", "Content-Length: 2\r\n\r\n{}", false, "", 0, 0, "", CONNECTION_CLOSE_E },
        { "no end of header block", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n{}", false, "", 0, 0, "",
            CONNECTION_CLOSE_E },
        { "NUL in front of the end", std::string("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n{}", 30), false, "", 0, 0,
            "", CONNECTION_CLOSE_E },
        { "nothing at all", "", false, "", 0, 0, "", CONNECTION_CLOSE_E },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SAnswer a = exchange(answer(c.answer));
        EXPECT_EQ(a.hasBody, c.hasBody);
        EXPECT_EQ(a.body, c.body);
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.contentLength, c.contentLength);
        EXPECT_EQ(a.contentType, c.contentType);
        EXPECT_EQ(a.connection, c.connection);
    }
}

TEST(HttpAnswer, BodiesByContentLength)
{
    struct Case {
        const char* label;
        CAnswerScript script;
        bool hasBody;
        std::string body;
    };
    std::string early500(500, 'a');
    std::string rest2500;
    for (int i = 0; i < 2500; ++i)
        rest2500 += static_cast<char>('A' + i % 26);
    Case cases[] = {
        { "Content-Length 3 with 5 early bytes returns all 5",
            answer("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nhello"), true, "hello" },
        { "Content-Length equal to the early bytes",
            answer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"), true, "hello" },
        // Without a Content-Length the body ends with the connection.
        { "no Content-Length, body with the header", answer("HTTP/1.1 200 OK\r\n\r\n{}"), true, "{}" },
        { "no Content-Length, nothing early, the body after a pause",
            CAnswerScript().bytes("HTTP/1.1 200 OK\r\n\r\n").pause(300).bytes("late"), true, "late" },
        { "no Content-Length, 6013 bytes in pieces",
            CAnswerScript().bytes("HTTP/1.1 200 OK\r\n\r\n").piece(973).bytes(std::string(6013, 'j')), true,
            std::string(6013, 'j') },
        { "3000 bytes with 500 early",
            CAnswerScript()
                .bytes("HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + early500)
                .pause(50)
                .piece(700)
                .bytes(rest2500),
            true, early500 + rest2500 },
        { "body in one-byte pieces",
            CAnswerScript()
                .bytes("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n")
                .pause(20)
                .bytes("a")
                .pause(20)
                .bytes("b")
                .pause(20)
                .bytes("cd"),
            true, "abcd" },
        { "bytes beyond Content-Length are not read",
            CAnswerScript()
                .bytes("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nab")
                .pause(50)
                .bytes("cdEXTRA"),
            true, "abcd" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SAnswer a = exchange(c.script);
        EXPECT_EQ(a.hasBody, c.hasBody);
        EXPECT_EQ(a.body.size(), c.body.size());
        EXPECT_TRUE(a.body == c.body);
    }
}

// The chunked coding of body in chunks of at most n bytes.
static std::string chunked(const std::string& body, size_t n, const std::string& ext = "")
{
    std::string out;
    char size[32];
    for (size_t pos = 0; pos < body.size(); pos += n) {
        std::string piece = body.substr(pos, n);
        snprintf(size, sizeof size, "%zx", piece.size());
        out += size + ext + "\r\n" + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

TEST(HttpAnswer, ChunkedBodies)
{
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        const char* label;
        CAnswerScript script;
        bool hasBody;
        std::string body;
    } cases[] = {
        { "decoded, chunk lines never reach the body", answer(head + chunked("{\"a\":1}", 3)), true,
            "{\"a\":1}" },
        { "split at every byte", CAnswerScript().bytes(head).piece(1).bytes(chunked("{\"entries\":[]}", 4)),
            true, "{\"entries\":[]}" },
        { "extensions and trailer passed over",
            answer(head + "4;x=y\r\nabcd\r\n2 \r\nef\r\n0\r\nX-Trailer: 1\r\n\r\n"), true, "abcdef" },
        { "large body, grown as it arrives", answer(head + chunked(std::string(300000, 'x'), 40000)), true,
            std::string(300000, 'x') },
        { "bad size line", answer(head + "zz\r\nab\r\n0\r\n\r\n"), false, "" },
        { "chunk data not followed by CR LF", answer(head + "2\r\nabc\r\n0\r\n\r\n"), false, "" },
        { "closed before the last chunk", answer(head + "2\r\nab\r\n"), false, "" },
        // The coding's name in any spelling HTTP allows.
        { "transfer-encoding in lower case",
            answer("HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n" + chunked("{}", 1)), true, "{}" },
        { "a blank after chunked",
            answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked \r\n\r\n" + chunked("{}", 1)), true, "{}" },
        { "two blanks in front of chunked",
            answer("HTTP/1.1 200 OK\r\nTransfer-Encoding:  chunked\r\n\r\n" + chunked("{}", 1)), true, "{}" },
        { "a coding we cannot undo", answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n{}"), false,
            "" },
        // A trailer past a few KiB (12 KB of chunk lines read as trailer lines)
        // ended early, even with its end: an endless one is never read on.
        { "a trailer past its budget", answer(head + "2\r\n{}\r\n0\r\n" + chunked(std::string(2000, 'x'), 1)),
            false, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SAnswer a = exchange(c.script);
        EXPECT_EQ(a.hasBody, c.hasBody);
        EXPECT_TRUE(a.body == c.body) << a.body.size() << " bytes";
    }
}

TEST(HttpAnswer, LargeBodyArrivesWhole)
{
    std::string body = ts_pattern(0, 5 * 1024 * 1024 + 17);
    for (char& ch : body) {
        if (ch == '\0')
            ch = '0'; // text: no NUL inside
    }
    CAnswerScript s;
    s.bytes("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n")
        .piece(100000)
        .bytes(body);
    SAnswer a = exchange(s);
    ASSERT_TRUE(a.hasBody);
    EXPECT_EQ(a.body.size(), body.size());
    EXPECT_TRUE(a.body == body);
}

// The header block must end within the first 1024 bytes of the answer.
TEST(HttpAnswer, HeaderBlockLimit)
{
    auto headerOf = [](size_t size, const std::string& extra) {
        std::string head = "HTTP/1.1 200 OK\r\n" + extra + "X-Pad: ";
        head += std::string(size - head.size() - 4, 'p');
        return head + "\r\n\r\n";
    };
    struct Case {
        const char* label;
        size_t headerSize;
        bool hasBody;
    } cases[] = {
        { "1100 bytes", 1100, false },
        { "1025 bytes", 1025, false },
        { "exactly 1024 bytes", 1024, true },
        { "1023 bytes", 1023, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string head = headerOf(c.headerSize, "Content-Length: 4\r\n");
        ASSERT_EQ(head.size(), c.headerSize);
        SAnswer a = exchange(CAnswerScript().bytes(head + "body"));
        EXPECT_EQ(a.hasBody, c.hasBody);
        EXPECT_EQ(a.body, c.hasBody ? "body" : "");
    }
    // A full first block with the body past it: no room for its NUL in the block.
    std::string head = headerOf(1000, "");
    SAnswer a = exchange(CAnswerScript().bytes(head + std::string(24, 'z')).pause(50).bytes("late"));
    ASSERT_TRUE(a.hasBody);
    EXPECT_EQ(a.body, std::string(24, 'z') + "late");
}

// However the header block is split over receives, no byte is lost.
TEST(HttpAnswer, SplitHeaderBlock)
{
    const std::string text = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    for (size_t cut = 1; cut < text.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        SAnswer a = exchange(CAnswerScript().bytes(text.substr(0, cut)).pause(15).bytes(text.substr(cut)));
        EXPECT_TRUE(a.hasBody);
        EXPECT_EQ(a.body, "hello");
    }
    // A byte at a time.
    CAnswerScript bytewise;
    for (char ch : text)
        bytewise.bytes(std::string(1, ch)).pause(3);
    SAnswer a = exchange(bytewise);
    EXPECT_EQ(a.body, "hello");

    // The second piece ends the header block but runs past 1024 bytes: what
    // fits is taken, the rest is read as body.
    std::string head
        = "HTTP/1.1 200 OK\r\nContent-Length: 2000\r\nX-Pad: " + std::string(800, 'p') + "\r\n\r\n";
    std::string body = ts_pattern(0, 2000);
    for (char& ch : body)
        ch = static_cast<char>('a' + static_cast<unsigned char>(ch) % 26);
    SAnswer b = exchange(CAnswerScript().bytes(head.substr(0, 600)).pause(30).bytes(head.substr(600) + body));
    ASSERT_TRUE(b.hasBody);
    EXPECT_TRUE(b.body == body);
}

// ---------------------------------------------------------------------------
// Failures that give no body. Each runs in a child, so that a client which
// spins or dies shows as such instead of hanging the suite.

TEST(HttpFailure, EndBeforeContentLengthGivesNoBody)
{
    struct Case {
        const char* label;
        CAnswerScript script;
    } cases[] = {
        { "close after the header",
            CAnswerScript().bytes("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n").close() },
        { "close after part of the body",
            CAnswerScript()
                .bytes("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort")
                .pause(30)
                .bytes("er")
                .close() },
        { "reset in the body",
            CAnswerScript()
                .bytes("HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n")
                .pause(30)
                .bytes(std::string(1500, 'x'))
                .pause(30)
                .reset() },
        { "close before any answer", CAnswerScript().close() },
        { "reset before any answer", CAnswerScript().reset() },
        { "close inside the header block", CAnswerScript().bytes("HTTP/1.1 200 OK\r\nContent-Len").close() },
        { "reset in a body without Content-Length",
            CAnswerScript().bytes("HTTP/1.1 200 OK\r\n\r\n[1,").pause(30).bytes("2,").pause(30).reset() },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CScriptedServer server;
        server.setDefaultAnswer(c.script);
        ASSERT_TRUE(server.start());
        int port = server.port();
        ChildResult r = run_in_child([port] { return ask_in_child(port); }, quick_child());
        EXPECT_TRUE(r.exited()) << "signal " << r.termSignal();
        EXPECT_EQ(r.exitCode(), CHILD_NO_BODY);
    }
}

TEST(HttpFailure, ConnectionNeverMadeGivesNoBody)
{
    CSmallHttp http("127.0.0.1", 9);
    http.setHttpMethod("GET");
    http.setHttpAbsPath("/xrec/epg.cgi");
    http.buildHttpHeader();
    EXPECT_FALSE(http.connectToServer());
    EXPECT_EQ(http.sendHttpRequest(), -1);
    EXPECT_EQ(http.getHttpRespondEntiyBody(), nullptr);
}

// A Content-Length the backend never honours must not decide the memory.
TEST(HttpFailure, HugeContentLengthAllocatesOnlyWhatArrives)
{
#ifdef DVR_UNDER_EMULATOR
    GTEST_SKIP() << "the memory watch thread in a forked child does not run under qemu-user";
#endif
    for (const char* length : { "99999999999", "2147483647", "1500000000" }) {
        SCOPED_TRACE(length);
        CScriptedServer server;
        server.setDefaultAnswer(
            CAnswerScript()
                .bytes(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + length + "\r\n\r\nabc")
                .pause(100)
                .bytes(std::string(100000, 'd'))
                .pause(300)
                .close());
        ASSERT_TRUE(server.start());
        int port = server.port();
        ChildResult r = run_in_child(
            [port] {
                size_t base = heap_in_use();
                std::atomic<size_t> peak(0);
                std::atomic<bool> done(false);
                std::thread watch([&] {
                    while (!done) {
                        size_t now = heap_in_use();
                        if (now > peak)
                            peak = now;
                        struct timespec ts = { 0, 2000000 };
                        nanosleep(&ts, nullptr);
                    }
                });
                int result = ask_in_child(port);
                done = true;
                watch.join();
                if (peak > base + 64 * 1024 * 1024)
                    return static_cast<int>(CHILD_TOO_MUCH_MEMORY);
                return result;
            },
            quick_child());
        EXPECT_TRUE(r.exited()) << "signal " << r.termSignal();
        EXPECT_EQ(r.exitCode(), CHILD_NO_BODY);
    }
}

TEST(HttpFailure, BodyOverTheCapGivesNoBody)
{
    for (const std::string& length : { std::to_string(HTTP_BODY_MAX_SIZE + 1), std::string("99999999999") }) {
        SCOPED_TRACE(length);
        SAnswer a = exchange(answer("HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n\r\nab"));
        EXPECT_FALSE(a.hasBody);
        EXPECT_EQ(a.contentLength, HTTP_BODY_MAX_SIZE + 1);
    }
    // One byte past the cap, without Content-Length: to the close, but not past the cap.
    SAnswer b = exchange(CAnswerScript()
                             .bytes("HTTP/1.1 200 OK\r\n\r\n")
                             .piece(1 << 20)
                             .bytes(std::string(HTTP_BODY_MAX_SIZE + 1, 'c')));
    EXPECT_FALSE(b.hasBody);
}

// The time limits, shortened as the callers may: a peer that stays silent, one
// that trickles past the exchange's deadline, and a deadline that starts with
// the send, not with a connect made long before (epg connects before its
// session check).
TEST(HttpFailure, TimeLimits)
{
    const int SILENCE_MS = 100, EXCHANGE_MS = 250;
    CAnswerScript trickle;
    trickle.bytes("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
    for (int i = 0; i < 10; ++i)
        trickle.pause(40).bytes("x");
    struct Case {
        const char* label;
        CAnswerScript script;
        int idleBeforeSendMs;
        const char* failure; // null: the body arrives
        int64_t minMs, maxMs;
    } cases[] = {
        { "silent peer", CAnswerScript().pause(3 * SILENCE_MS), 0, "answer silent too long", SILENCE_MS,
            1000 },
        { "trickle past the deadline", trickle, 0, "answer past its deadline", EXCHANGE_MS, 1000 },
        { "connected long before the send", answer("HTTP/1.1 200 OK\r\n\r\n{}"), 2 * EXCHANGE_MS, nullptr, 0,
            1000 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CScriptedServer server;
        server.setDefaultAnswer(c.script);
        ASSERT_TRUE(server.start());
        CSmallHttp http("127.0.0.1", server.port());
        http.setLimits(SILENCE_MS, EXCHANGE_MS, SILENCE_MS);
        ASSERT_TRUE(http.connectToServer());
        usleep(static_cast<useconds_t>(c.idleBeforeSendMs) * 1000);
        const int64_t start = child_run_detail::nowMs();
        const char* body = http.exchange("GET", "/xrec/epg.cgi", "subfunc=info&todo=list");
        const int64_t tookMs = child_run_detail::nowMs() - start;
        EXPECT_EQ(body != nullptr, c.failure == nullptr);
        EXPECT_STREQ(http.getFailure(), c.failure);
        EXPECT_GE(tookMs, c.minMs);
        EXPECT_LT(tookMs, c.maxMs);
    }
}

// The backend resets the connection before the request is sent: the sends
// fail, the default SIGPIPE action does not end the process, and there is no body.
TEST(HttpFailure, ResetDuringSendIsNoSigpipe)
{
    CScriptedServer server;
    server.setDefaultAnswer(CAnswerScript().reset());
    ASSERT_TRUE(server.start());
    int port = server.port();
    ChildResult r = run_in_child(
        [port] {
            CSmallHttp http("127.0.0.1", port);
            http.setHttpMethod("POST");
            http.setHttpAbsPath("/xrec/epg.cgi");
            http.setHttpQueryString("entries=" + std::string(256 * 1024, 'e'));
            http.buildHttpHeader();
            if (!http.connectToServer())
                return static_cast<int>(CHILD_SETUP);
            // A first request that the server reads, and answers with a reset.
            http.getTcp().sendData("GET / HTTP/1.1\r\n\r\n", 0);
            struct pollfd pfd = { http.getTcp().getSocket(), POLLIN, 0 };
            if (poll(&pfd, 1, 3000) != 1)
                return static_cast<int>(CHILD_SETUP);
            int first = http.sendHttpRequest();
            int second = http.sendHttpRequest();
            if (first != -1 || second != -1)
                return static_cast<int>(CHILD_SEND_OK);
            return http.getHttpRespondEntiyBody() ? static_cast<int>(CHILD_BODY)
                                                  : static_cast<int>(CHILD_NO_BODY);
        },
        quick_child());
    EXPECT_FALSE(r.signaled()) << "signal " << r.termSignal();
    EXPECT_EQ(r.exitCode(), CHILD_NO_BODY);
}

// ---------------------------------------------------------------------------
// The transport-stream relay

namespace {

// Where the relaying child's standard output goes. Every kind ends up in the
// captured output.
enum EOutput {
    OUT_PIPE, // the capture pipe itself (the zero-copy path)
    OUT_PIPE_NONBLOCK, // the same, switched to non-blocking
    OUT_FILE, // a regular file, read back afterwards
    OUT_SOCKET_NONBLOCK, // a non-blocking socket, forwarded into the capture pipe
};

// A helper process that forwards everything from `from` to standard output.
void forward_in_helper(int from, int keepOpen)
{
    if (fork() == 0) {
        close(keepOpen);
        char buf[65536];
        ssize_t n;
        while ((n = read(from, buf, sizeof buf)) > 0) {
            if (write(STDOUT_FILENO, buf, static_cast<size_t>(n)) != n)
                break;
        }
        _exit(0);
    }
    close(from);
}

// The client asks the server at `port` in a child. The relay ends the child
// with 0; a client call that returns ends it with 10 (body) or 11 (none).
ChildResult relay_child(int port, EOutput out = OUT_PIPE, int alarmMicros = 0, int relaySilenceMs = 30000)
{
    char path[] = "/tmp/relay_outXXXXXX";
    int fileFd = -1;
    if (out == OUT_FILE) {
        fileFd = mkstemp(path);
        if (fileFd < 0)
            return ChildResult();
        unlink(path);
    }
    ChildOptions o;
    o.timeoutSec = 60;
    // The relay ends with exit(), which would write our pending output once more into the capture.
    fflush(nullptr);
    ChildResult r = run_in_child(
        [port, fileFd, out, alarmMicros, relaySilenceMs] {
            if (out == OUT_FILE)
                dup2(fileFd, STDOUT_FILENO);
            if (out == OUT_SOCKET_NONBLOCK) {
                int sv[2];
                if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
                    return static_cast<int>(CHILD_SETUP);
                forward_in_helper(sv[1], sv[0]);
                dup2(sv[0], STDOUT_FILENO);
                close(sv[0]);
            }
            if (out == OUT_PIPE_NONBLOCK || out == OUT_SOCKET_NONBLOCK)
                fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
            if (alarmMicros > 0)
                interrupt_often(alarmMicros);
            exit_without_leak_check();
            int result = ask_in_child(port, relaySilenceMs);
            return result == CHILD_BODY ? 10 : 11;
        },
        o);
    if (fileFd >= 0) {
        r.out.clear();
        char buf[65536];
        ssize_t n;
        lseek(fileFd, 0, SEEK_SET);
        while ((n = read(fileFd, buf, sizeof buf)) > 0)
            r.out.append(buf, static_cast<size_t>(n));
        close(fileFd);
    }
    return r;
}

// pTookMs: how long the relaying child ran.
ChildResult relay(const CAnswerScript& script, EOutput out = OUT_PIPE, int alarmMicros = 0,
    int relaySilenceMs = 30000, int64_t* pTookMs = nullptr)
{
    CScriptedServer server;
    server.setDefaultAnswer(script);
    if (!server.start())
        return ChildResult();
    const int64_t start = child_run_detail::nowMs();
    ChildResult r = relay_child(server.port(), out, alarmMicros, relaySilenceMs);
    if (pTookMs)
        *pTookMs = child_run_detail::nowMs() - start;
    return r;
}

} // namespace

TEST(HttpRelay, StreamIsCopiedExactly)
{
    const size_t size = 4 * 1024 * 1024 + 1234;
    std::string early = ts_pattern(0, 188 * 3 + 7); // arrives with the header block
    std::string expected = RELAY_HEADER + early + ts_pattern(0, size);
    ASSERT_EQ(sizeof(RELAY_HEADER) - 1, 95u);
    struct Case {
        const char* label;
        EOutput out;
        size_t piece;
    } cases[] = {
        { "pipe", OUT_PIPE, 0 },
        { "pipe, small pieces", OUT_PIPE, 1000 },
        { "non-blocking pipe", OUT_PIPE_NONBLOCK, 65536 },
        { "regular file", OUT_FILE, 7000 },
        { "non-blocking socket", OUT_SOCKET_NONBLOCK, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ChildResult r = relay(CAnswerScript().bytes(TS_HEAD + early).piece(c.piece).stream(size), c.out);
        EXPECT_TRUE(r.exited()) << "signal " << r.termSignal();
        EXPECT_EQ(r.exitCode(), 0);
        ASSERT_EQ(r.out.size(), expected.size());
        EXPECT_TRUE(r.out == expected)
            << "first difference at "
            << std::mismatch(r.out.begin(), r.out.end(), expected.begin()).first - r.out.begin();
    }
}

TEST(HttpRelay, ChoiceByContentType)
{
    struct Case {
        const char* label;
        std::string head;
        bool relayed;
    } cases[] = {
        { "video/mp2t;x=1 is a stream", "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t;x=1\r\n\r\n", true },
        { "HTTP/1.0 stream", "HTTP/1.0 200 OK\r\nContent-Type: video/mp2t\r\n\r\n", true },
        { "404 is no stream", "HTTP/1.1 404 Not Found\r\nContent-Type: video/mp2t\r\n\r\n", false },
        { "Video/MP2T is no stream", "HTTP/1.1 200 OK\r\nContent-Type: Video/MP2T\r\n\r\n", false },
        { "video/mp2 is no stream", "HTTP/1.1 200 OK\r\nContent-Type: video/mp2\r\n\r\n", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ChildResult r = relay(CAnswerScript().bytes(c.head + "ts").pause(20).stream(1000));
        ASSERT_TRUE(r.exited());
        if (c.relayed) {
            EXPECT_EQ(r.exitCode(), 0);
            EXPECT_TRUE(r.out == RELAY_HEADER + std::string("ts") + ts_pattern(0, 1000));
        } else {
            EXPECT_NE(r.exitCode(), 0) << "returned to the caller";
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST(HttpRelay, ChunkedStreamIsDecoded)
{
    const std::string stream = ts_pattern(0, 188 * 2000);
    const std::string head
        = "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nTransfer-Encoding: chunked\r\n\r\n";
    ChildResult r
        = relay(CAnswerScript().bytes(head).piece(5000).bytes(chunked(stream, 188 * 7)).pause(50).bytes("x"));
    EXPECT_EQ(r.exitCode(), 0);
    EXPECT_TRUE(r.out == RELAY_HEADER + stream) << r.out.size() << " bytes";
}

TEST(HttpRelay, StreamWithoutEarlyBytes)
{
    ChildResult r = relay(CAnswerScript().bytes(TS_HEAD).pause(30).stream(188 * 100));
    EXPECT_EQ(r.exitCode(), 0);
    EXPECT_TRUE(r.out == RELAY_HEADER + ts_pattern(0, 188 * 100));
    // A backend that closes at once: only the header lines.
    ChildResult empty = relay(CAnswerScript().bytes(TS_HEAD).close());
    EXPECT_EQ(empty.exitCode(), 0);
    EXPECT_EQ(empty.out, RELAY_HEADER);
}

// A stream ends with its Content-Length, whatever the backend does after it,
// and with a silence of its source (shortened here), not with a shorter pause.
TEST(HttpRelay, WhereAStreamEnds)
{
    const int SILENCE_MS = 150;
    const std::string withLength
        = "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nContent-Length: 1880\r\n\r\n";
    struct Case {
        const char* label;
        CAnswerScript script;
        int silenceMs;
        std::string stream;
        int64_t maxMs;
    } cases[] = {
        { "Content-Length, the connection left open",
            CAnswerScript().bytes(withLength).pause(20).stream(1880).pause(1000), 30000, ts_pattern(0, 1880),
            700 },
        { "Content-Length, every byte early",
            CAnswerScript().bytes(withLength + ts_pattern(0, 1880)).pause(1000), 30000, ts_pattern(0, 1880),
            700 },
        { "a pause shorter than the silence",
            CAnswerScript().bytes(TS_HEAD).stream(1880).pause(SILENCE_MS / 2).stream(1880), SILENCE_MS,
            ts_pattern(0, 3760), 700 },
        { "a silence", CAnswerScript().bytes(TS_HEAD).stream(1880).pause(6 * SILENCE_MS).stream(1880),
            SILENCE_MS, ts_pattern(0, 1880), 5 * SILENCE_MS },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        int64_t tookMs = 0;
        ChildResult r = relay(c.script, OUT_PIPE, 0, c.silenceMs, &tookMs);
        EXPECT_EQ(r.exitCode(), 0);
        EXPECT_TRUE(r.out == RELAY_HEADER + c.stream) << r.out.size() << " bytes";
        EXPECT_LT(tookMs, c.maxMs) << "the relay's own end, not the backend's";
    }
}

TEST(HttpRelay, ResetEndsTheStream)
{
    ChildResult r = relay(CAnswerScript().bytes(TS_HEAD).stream(188 * 1000).pause(50).reset());
    EXPECT_EQ(r.exitCode(), 0);
    EXPECT_TRUE(r.out == RELAY_HEADER + ts_pattern(0, 188 * 1000));
}

// When the reader of standard output goes away the process ends: by the
// default SIGPIPE, or, with SIGPIPE ignored, by itself. It never spins.
TEST(HttpRelay, ReaderGoneEndsTheProcess)
{
    for (bool ignore : { false, true }) {
        for (size_t readFirst : { size_t(0), size_t(300000) }) {
            CScriptedServer server;
            server.setDefaultAnswer(CAnswerScript().bytes(TS_HEAD).stream(64 * 1024 * 1024));
            ASSERT_TRUE(server.start());
            int port = server.port();
            SCOPED_TRACE(std::string(ignore ? "SIGPIPE ignored" : "SIGPIPE default") + ", reader takes "
                + std::to_string(readFirst));
            ChildResult r = run_in_child(
                [port, ignore, readFirst] {
                    int p[2];
                    if (pipe(p) != 0)
                        return static_cast<int>(CHILD_SETUP);
                    pid_t reader = fork();
                    if (reader == 0) {
                        close(p[1]);
                        char buf[65536];
                        size_t got = 0;
                        while (got < readFirst) {
                            ssize_t n = read(p[0], buf, sizeof buf);
                            if (n <= 0)
                                break;
                            got += static_cast<size_t>(n);
                        }
                        _exit(0);
                    }
                    close(p[0]);
                    dup2(p[1], STDOUT_FILENO);
                    close(p[1]);
                    if (readFirst == 0)
                        waitpid(reader, nullptr, 0);
                    if (ignore)
                        signal(SIGPIPE, SIG_IGN);
                    exit_without_leak_check();
                    ask_in_child(port);
                    return 20; // the relay returned
                },
                quick_child());
            if (ignore) {
                EXPECT_TRUE(r.exited()) << "signal " << r.termSignal();
                EXPECT_EQ(r.exitCode(), 0);
            } else {
                EXPECT_TRUE(r.signaled());
                EXPECT_EQ(r.termSignal(), SIGPIPE);
            }
        }
    }
}

// Signals that interrupt the blocking calls cut nothing short: sends that
// return early are continued, receives that fail with EINTR are repeated.
TEST(HttpSignals, InterruptedCallsAreContinued)
{
    std::string body(3000, 'b');
    std::string big = "entries=" + std::string(4 * 1024 * 1024, 'p');
    CScriptedServer server;
    // The server reads late, so the request's sends block and are interrupted.
    server.setDefaultAnswer(
        CAnswerScript()
            .wait(300)
            .bytes("HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + body.substr(0, 500))
            .pause(200)
            .bytes(body.substr(500)));
    ASSERT_TRUE(server.start());
    int port = server.port();
    ChildResult r = run_in_child(
        [port, &big, &body] {
            interrupt_often(500);
            CSmallHttp http("127.0.0.1", port);
            http.setHttpMethod("POST");
            http.setHttpAbsPath("/xrec/epg.cgi");
            http.setHttpQueryString(big);
            http.buildHttpHeader();
            if (!http.connectToServer())
                return static_cast<int>(CHILD_SETUP);
            if (http.sendHttpRequest() != static_cast<int>(http.getRequestLength()))
                return static_cast<int>(CHILD_SEND_OK);
            const char* got = http.getHttpRespondEntiyBody();
            return got && got == body ? static_cast<int>(CHILD_BODY) : static_cast<int>(CHILD_NO_BODY);
        },
        quick_child());
    EXPECT_EQ(r.exitCode(), CHILD_BODY);
    std::string request;
    ASSERT_TRUE(server.waitRequest(1, &request));
    EXPECT_EQ(request.size(), request.find("\r\n\r\n") + 4 + big.size());

    // The relay under the same signals, with a backend that pauses.
    const size_t size = 2 * 1024 * 1024;
    for (EOutput out : { OUT_PIPE, OUT_FILE }) {
        SCOPED_TRACE(out == OUT_PIPE ? "pipe" : "file");
        ChildResult relayed = relay(
            CAnswerScript().bytes(TS_HEAD).pause(100).stream(size / 2).pause(100).stream(size / 2), out, 500);
        EXPECT_EQ(relayed.exitCode(), 0);
        EXPECT_TRUE(relayed.out == RELAY_HEADER + ts_pattern(0, size));
    }
}

// ---------------------------------------------------------------------------
// The stand-in server's own rules, which every exchange above relies on

TEST(StandinScript, AnswerFileDirectives)
{
    char dir[] = "/tmp/standin_scriptXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string bodyPath = std::string(dir) + "/body.json";
    FILE* f = fopen(bodyPath.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("{\"a\":1}", f);
    fclose(f);

    CAnswerScript s;
    std::string error;
    ASSERT_TRUE(s.parse("# comment\r\n\njson body.json\nraw " + bodyPath
            + "\ntext a\\r\\n\\t\\\\\\x41\\q \npiece 10\nstream 376\npause 5\nwait 7\nclose\nreset\n",
        dir, &error))
        << error;
    const std::vector<CAnswerScript::SStep>& st = s.steps();
    ASSERT_EQ(st.size(), 8u);
    EXPECT_EQ(st[0].bytes,
        "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: 7\r\n"
        "Connection: Close\r\n\r\n{\"a\":1}");
    EXPECT_EQ(st[1].bytes, "{\"a\":1}");
    EXPECT_EQ(st[2].bytes, "a\r\n\t\\A\\q ");
    EXPECT_EQ(st[3].kind, CAnswerScript::STEP_PIECE);
    EXPECT_EQ(st[4].kind, CAnswerScript::STEP_STREAM);
    EXPECT_EQ(st[4].count, 376u);
    EXPECT_EQ(st[5].kind, CAnswerScript::STEP_PAUSE);
    EXPECT_EQ(st[6].kind, CAnswerScript::STEP_CLOSE);
    EXPECT_EQ(st[7].kind, CAnswerScript::STEP_RESET);
    EXPECT_EQ(s.waitMs(), 7);

    for (const char* bad : { "json missing.json", "stream -1", "pause 5ms", "bogus", "close now" }) {
        SCOPED_TRACE(bad);
        CAnswerScript b;
        EXPECT_FALSE(b.parse(bad, dir, &error));
    }
    unlink(bodyPath.c_str());
    rmdir(dir);
}

TEST(StandinScript, StreamPatternDependsOnlyOnOffset)
{
    std::string whole = ts_pattern(0, 188 * 300);
    for (size_t i = 0; i < whole.size(); i += 188)
        ASSERT_EQ(static_cast<unsigned char>(whole[i]), 0x47) << "packet at " << i;
    EXPECT_EQ(ts_pattern(1000, 5000), whole.substr(1000, 5000));
    EXPECT_NE(whole.substr(0, 188), whole.substr(188 * 256, 188)) << "packets are told apart";
}
