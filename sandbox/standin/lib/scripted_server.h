// The one scriptable stand-in HTTP server of the test suites. It listens on
// 127.0.0.1, takes one connection at a time, records the raw request and answers
// by a script: given bytes, split into pieces with pauses, an early close, a
// reset, or a deterministic transport stream. Unit tests run it in a thread of
// the test process; the `tvheadend` stand-in program drives the same pieces
// from answer files.
#ifndef SANDBOX_STANDIN_SCRIPTED_SERVER_H
#define SANDBOX_STANDIN_SCRIPTED_SERVER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The stream pattern: 188-byte packets, each starting with the sync byte 0x47.
// Every byte depends only on its absolute offset within the stream, so any
// slice can be regenerated on its own. Bytes 4..7 of a packet carry its number
// (big-endian), so a lost, doubled or reordered packet shows.
enum { TS_PACKET_SIZE = 188 };
void ts_pattern_fill(uint64_t offset, char* out, size_t len);
std::string ts_pattern(uint64_t offset, size_t len);

// The whole content of a file; false when it cannot be read.
bool read_file(const std::string& path, std::string* out);

// Decodes \r \n \t \\ and \xHH; any other backslash stays as written.
std::string decode_c_escapes(const std::string& text);

// The answer to one connection: a list of steps executed in order.
class CAnswerScript {
public:
    enum EKind { STEP_BYTES, STEP_STREAM, STEP_PIECE, STEP_PAUSE, STEP_CLOSE, STEP_RESET };
    struct SStep {
        EKind kind;
        std::string bytes; // STEP_BYTES
        uint64_t count; // STEP_STREAM bytes, STEP_PIECE size, STEP_PAUSE milliseconds
    };

    // Each call queues one step; they return the script so calls can be chained.
    CAnswerScript& bytes(const std::string& data);
    // A 200 answer with Content-Type application/json, its Content-Length and Connection: Close.
    CAnswerScript& json(const std::string& body);
    // The next `count` bytes of the stream pattern (the offset runs on over all
    // stream steps of one connection).
    CAnswerScript& stream(uint64_t count);
    // From here on each step's bytes go out in pieces of at most n bytes, each
    // its own send; 0 restores one piece per step.
    CAnswerScript& piece(size_t n);
    CAnswerScript& pause(int ms);
    // Closes at once (orderly); the steps after it are never reached.
    CAnswerScript& close();
    // Closes with a reset (RST) at once, without sending anything more.
    CAnswerScript& reset();
    // Sleeps before the request is read: a slow backend.
    CAnswerScript& wait(int ms);

    // Reads answer-file directives (json FILE, raw FILE, text STRING, stream N,
    // piece N, pause MS, close, reset, wait MS; blank lines and #-lines skipped).
    // Relative FILE names are taken from baseDir. False with a message on a bad line.
    bool parse(const std::string& text, const std::string& baseDir, std::string* error);

    // "HTTP/1.1 200 OK" with the two-byte JSON body {}: the answer when none is given.
    static CAnswerScript defaultAnswer();

    int waitMs() const { return m_iWaitMs; }
    const std::vector<SStep>& steps() const { return m_steps; }

    // Executes the steps on a connected socket and closes it.
    void run(int fd) const;

private:
    std::vector<SStep> m_steps;
    int m_iWaitMs = 0;
};

// Reads one request: bytes up to CR LF CR LF, then Content-Length bytes of body
// when that header is there. Stops early when the peer closes or stays silent
// for silenceMs. Returns what arrived (possibly nothing).
std::string read_http_request(int fd, int silenceMs = 2000);

// A listening TCP socket on 127.0.0.1 (SO_REUSEADDR); port 0 picks a free one.
// -1 on failure. *boundPort gets the port actually bound.
int open_loopback_listener(int port, int* boundPort);

void sleep_ms(int ms);

// Serves one accepted connection: waits as scripted, reads the request (given
// up after silenceMs without a byte), hands it to `record` before answering,
// then answers and closes.
template <typename Record>
void serve_connection(int fd, const CAnswerScript& script, Record record, int silenceMs = 2000)
{
    if (script.waitMs() > 0)
        sleep_ms(script.waitMs());
    record(read_http_request(fd, silenceMs));
    script.run(fd);
}

// The same for an answer that depends on the request: reads it, hands it to
// `record`, then answers by the script `choose(request)` returns. Its wait
// comes after the read, since the request has to be seen first.
template <typename Choose, typename Record>
void serve_connection_by_request(int fd, Choose choose, Record record, int silenceMs = 2000)
{
    std::string request = read_http_request(fd, silenceMs);
    record(request);
    CAnswerScript script = choose(request);
    if (script.waitMs() > 0)
        sleep_ms(script.waitMs());
    script.run(fd);
}

// The in-process server: connections are served one at a time by a thread
// until stop() or destruction.
class CScriptedServer {
public:
    CScriptedServer();
    ~CScriptedServer();
    CScriptedServer(const CScriptedServer&) = delete;
    CScriptedServer& operator=(const CScriptedServer&) = delete;

    // The answer of connection n (1-based), and of every connection without one.
    // Set them before the client connects.
    void setAnswer(int connection, const CAnswerScript& script);
    void setDefaultAnswer(const CAnswerScript& script);

    // Listens (port 0: a free one) and starts serving. False when it cannot listen.
    bool start(int port = 0);
    void stop();
    int port() const { return m_iPort; }

    // Waits until the serving thread is back waiting for a connection, with the
    // last one finished. A test that forks must do so only then: a child
    // forked while the thread allocates may inherit an allocator lock that is
    // never released (sanitizer builds). start() returns only in this state.
    bool waitIdle(int timeoutMs = 5000);

    // The raw request of connection n (1-based), waiting up to timeoutMs for it.
    bool waitRequest(int connection, std::string* request, int timeoutMs = 5000);
    int requestCount();

private:
    void serveLoop();
    CAnswerScript scriptFor(int connection);

    int m_iListenFd = -1;
    int m_iPort = 0;
    int m_wakePipe[2] = { -1, -1 };
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_bIdle = false;
    std::map<int, CAnswerScript> m_answers;
    CAnswerScript m_defaultAnswer;
    std::vector<std::string> m_requests;
};

#endif
