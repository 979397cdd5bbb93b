#include "scripted_server.h"

#include "base_io.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

// Stream steps are generated and sent in slices of this size when no piece size is set.
const size_t STREAM_SLICE = 256 * 1024;
// A request is never read beyond this, whatever its Content-Length says.
const size_t REQUEST_LIMIT = 64 * 1024 * 1024;

// Each piece is its own send; with TCP_NODELAY it leaves as its own segment.
// A client that has gone fails the send, never raises SIGPIPE.
bool send_pieces(int fd, const char* p, size_t n, size_t piece)
{
    if (piece == 0)
        return send_all(fd, p, n, nullptr);
    while (n > 0) {
        size_t k = std::min(n, piece);
        if (!send_all(fd, p, k, nullptr))
            return false;
        p += k;
        n -= k;
    }
    return true;
}

// An orderly close: FIN first, then whatever the client sent that was not read
// is taken off, so that closing does not turn into a reset.
void close_orderly(int fd)
{
    shutdown(fd, SHUT_WR);
    char sink[4096];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) { }
    close(fd);
}

void close_with_reset(int fd)
{
    struct linger lg;
    lg.l_onoff = 1;
    lg.l_linger = 0;
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
}

// Whole decimal numbers only: "12", not "12ms" or "-1".
bool parse_count(const std::string& text, uint64_t* value)
{
    size_t end = text.find_last_not_of(" \t");
    if (text.empty() || end == std::string::npos)
        return false;
    uint64_t v = 0;
    for (size_t i = 0; i <= end; ++i) {
        if (text[i] < '0' || text[i] > '9' || v > (UINT64_MAX - 9) / 10)
            return false;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    *value = v;
    return true;
}

// The value of a Content-Length header in a request head (name in any case), or 0.
size_t request_content_length(const std::string& head)
{
    static const char name[] = "content-length:";
    const size_t nameLen = sizeof name - 1;
    size_t pos = 0;
    while ((pos = head.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        if (head.size() - pos < nameLen || strncasecmp(head.c_str() + pos, name, nameLen) != 0)
            continue;
        size_t i = pos + nameLen;
        while (i < head.size() && (head[i] == ' ' || head[i] == '\t'))
            ++i;
        size_t v = 0;
        while (i < head.size() && head[i] >= '0' && head[i] <= '9' && v < REQUEST_LIMIT)
            v = v * 10 + static_cast<size_t>(head[i++] - '0');
        return std::min(v, REQUEST_LIMIT);
    }
    return 0;
}

} // namespace

bool read_file(const std::string& path, std::string* out)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out->clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        out->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

void sleep_ms(int ms)
{
    if (ms <= 0)
        return;
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

namespace {

// A packet's bytes depend on its number only through the number modulo 256,
// except bytes 4..7 which carry the number itself: 256 ready packets make the
// pattern a copy, fast enough that a stream benchmark measures the relay and
// not this generator.
enum { TS_TEMPLATE_PACKETS = 256 };

struct STsTemplates {
    unsigned char bytes[TS_TEMPLATE_PACKETS][TS_PACKET_SIZE];
    STsTemplates()
    {
        for (unsigned packet = 0; packet < TS_TEMPLATE_PACKETS; ++packet) {
            unsigned char* p = bytes[packet];
            // Sync byte, a fixed PID 0x0100 with payload only, a running continuity counter.
            p[0] = 0x47;
            p[1] = 0x01;
            p[2] = 0x00;
            p[3] = static_cast<unsigned char>(0x10 | (packet & 0x0F));
            for (size_t i = 8; i < TS_PACKET_SIZE; ++i)
                p[i] = static_cast<unsigned char>(i * 7 + packet * 13);
        }
    }
};

void ts_packet(uint64_t packet, unsigned char* out)
{
    static const STsTemplates s_templates;
    memcpy(out, s_templates.bytes[packet % TS_TEMPLATE_PACKETS], TS_PACKET_SIZE);
    out[4] = static_cast<unsigned char>(packet >> 24);
    out[5] = static_cast<unsigned char>(packet >> 16);
    out[6] = static_cast<unsigned char>(packet >> 8);
    out[7] = static_cast<unsigned char>(packet);
}

} // namespace

void ts_pattern_fill(uint64_t offset, char* out, size_t len)
{
    while (len > 0) {
        uint64_t packet = offset / TS_PACKET_SIZE;
        size_t from = static_cast<size_t>(offset % TS_PACKET_SIZE);
        size_t n = std::min(len, TS_PACKET_SIZE - from);
        if (n == TS_PACKET_SIZE) {
            ts_packet(packet, reinterpret_cast<unsigned char*>(out));
        } else {
            unsigned char p[TS_PACKET_SIZE];
            ts_packet(packet, p);
            memcpy(out, p + from, n);
        }
        out += n;
        len -= n;
        offset += n;
    }
}

std::string ts_pattern(uint64_t offset, size_t len)
{
    std::string s(len, '\0');
    if (len > 0)
        ts_pattern_fill(offset, &s[0], len);
    return s;
}

std::string decode_c_escapes(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        char e = text[i + 1];
        if (e == 'r' || e == 'n' || e == 't' || e == '\\') {
            out += e == 'r' ? '\r' : e == 'n' ? '\n' : e == 't' ? '\t' : '\\';
            ++i;
        } else if (e == 'x' && i + 3 < text.size() && hex_value(text[i + 2]) >= 0
            && hex_value(text[i + 3]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3]));
            i += 3;
        } else {
            out += c;
        }
    }
    return out;
}

CAnswerScript& CAnswerScript::bytes(const std::string& data)
{
    m_steps.push_back(SStep { STEP_BYTES, data, 0 });
    return *this;
}

CAnswerScript& CAnswerScript::json(const std::string& body)
{
    char head[256];
    snprintf(head, sizeof head,
        "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=UTF-8\r\n"
        "Content-Length: %zu\r\nConnection: Close\r\n\r\n",
        body.size());
    return bytes(head + body);
}

CAnswerScript& CAnswerScript::stream(uint64_t count)
{
    m_steps.push_back(SStep { STEP_STREAM, std::string(), count });
    return *this;
}

CAnswerScript& CAnswerScript::piece(size_t n)
{
    m_steps.push_back(SStep { STEP_PIECE, std::string(), n });
    return *this;
}

CAnswerScript& CAnswerScript::pause(int ms)
{
    m_steps.push_back(SStep { STEP_PAUSE, std::string(), static_cast<uint64_t>(ms < 0 ? 0 : ms) });
    return *this;
}

CAnswerScript& CAnswerScript::close()
{
    m_steps.push_back(SStep { STEP_CLOSE, std::string(), 0 });
    return *this;
}

CAnswerScript& CAnswerScript::reset()
{
    m_steps.push_back(SStep { STEP_RESET, std::string(), 0 });
    return *this;
}

CAnswerScript& CAnswerScript::wait(int ms)
{
    m_iWaitMs += ms < 0 ? 0 : ms;
    return *this;
}

CAnswerScript CAnswerScript::defaultAnswer()
{
    CAnswerScript s;
    s.bytes("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}");
    return s;
}

bool CAnswerScript::parse(const std::string& text, const std::string& baseDir, std::string* error)
{
    size_t start = 0;
    int lineNo = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        size_t blank = line.find(' ', first);
        std::string word = line.substr(first, blank == std::string::npos ? std::string::npos : blank - first);
        std::string arg = blank == std::string::npos ? std::string() : line.substr(blank + 1);

        uint64_t n = 0;
        bool ok = true;
        if (word == "json" || word == "raw") {
            std::string path = !arg.empty() && arg[0] != '/' ? baseDir + "/" + arg : arg;
            std::string content;
            ok = !arg.empty() && read_file(path, &content);
            if (ok) {
                if (word == "json")
                    json(content);
                else
                    bytes(content);
            }
        } else if (word == "text") {
            bytes(decode_c_escapes(arg));
        } else if (word == "stream" && parse_count(arg, &n)) {
            stream(n);
        } else if (word == "piece" && parse_count(arg, &n)) {
            piece(static_cast<size_t>(n));
        } else if ((word == "pause" || word == "wait") && parse_count(arg, &n) && n <= 3600000) {
            if (word == "pause")
                pause(static_cast<int>(n));
            else
                wait(static_cast<int>(n));
        } else if (word == "close" && arg.find_first_not_of(" \t") == std::string::npos) {
            close();
        } else if (word == "reset" && arg.find_first_not_of(" \t") == std::string::npos) {
            reset();
        } else {
            ok = false;
        }
        if (!ok) {
            if (error)
                *error = "line " + std::to_string(lineNo) + ": cannot use \"" + line + "\"";
            return false;
        }
    }
    return true;
}

void CAnswerScript::run(int fd) const
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    size_t piece = 0;
    uint64_t streamOffset = 0;
    std::vector<char> slice;
    for (const SStep& step : m_steps) {
        bool sent = true;
        switch (step.kind) {
        case STEP_BYTES:
            sent = send_pieces(fd, step.bytes.data(), step.bytes.size(), piece);
            break;
        case STEP_STREAM: {
            size_t sliceSize = piece ? piece : STREAM_SLICE;
            slice.resize(static_cast<size_t>(std::min<uint64_t>(sliceSize, step.count)));
            for (uint64_t left = step.count; left > 0 && sent;) {
                size_t n = static_cast<size_t>(std::min<uint64_t>(sliceSize, left));
                ts_pattern_fill(streamOffset, slice.data(), n);
                sent = send_all(fd, slice.data(), n, nullptr);
                streamOffset += n;
                left -= n;
            }
            break;
        }
        case STEP_PIECE:
            piece = static_cast<size_t>(step.count);
            break;
        case STEP_PAUSE:
            sleep_ms(static_cast<int>(step.count));
            break;
        case STEP_CLOSE:
            close_orderly(fd);
            return;
        case STEP_RESET:
            close_with_reset(fd);
            return;
        }
        if (!sent) {
            // The client has gone; nothing more can reach it.
            ::close(fd);
            return;
        }
    }
    close_orderly(fd);
}

std::string read_http_request(int fd, int silenceMs)
{
    std::string req;
    size_t headEnd = std::string::npos;
    size_t need = 0;
    char buf[65536];
    for (;;) {
        if (headEnd != std::string::npos && req.size() >= need)
            break;
        struct pollfd pfd = { fd, POLLIN, 0 };
        int r = poll(&pfd, 1, silenceMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        size_t before = req.size();
        req.append(buf, static_cast<size_t>(n));
        if (headEnd == std::string::npos) {
            size_t from = before >= 3 ? before - 3 : 0;
            size_t pos = req.find("\r\n\r\n", from);
            if (pos != std::string::npos) {
                headEnd = pos + 4;
                need = headEnd + request_content_length(req.substr(0, headEnd));
            }
        }
        if (req.size() >= REQUEST_LIMIT)
            break;
    }
    return req;
}

int open_loopback_listener(int port, int* boundPort)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    // Connections are served one at a time, so under load they queue. A full
    // queue drops the end of a client's handshake; the client sends its request
    // all the same, and it comes only with the kernel's retransmission, possibly
    // after read_http_request has given up on it. So the queue is as long as
    // the system allows.
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, SOMAXCONN) != 0
        || getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    if (boundPort)
        *boundPort = ntohs(addr.sin_port);
    return fd;
}

CScriptedServer::CScriptedServer()
    : m_defaultAnswer(CAnswerScript::defaultAnswer())
{
}

CScriptedServer::~CScriptedServer() { stop(); }

void CScriptedServer::setAnswer(int connection, const CAnswerScript& script)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers[connection] = script;
}

void CScriptedServer::setDefaultAnswer(const CAnswerScript& script)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_defaultAnswer = script;
}

bool CScriptedServer::start(int port)
{
    if (m_iListenFd >= 0)
        return false;
    m_iListenFd = open_loopback_listener(port, &m_iPort);
    if (m_iListenFd < 0)
        return false;
    if (pipe2(m_wakePipe, O_CLOEXEC) != 0) {
        ::close(m_iListenFd);
        m_iListenFd = -1;
        return false;
    }
    m_bIdle = false;
    m_thread = std::thread(&CScriptedServer::serveLoop, this);
    return waitIdle();
}

bool CScriptedServer::waitIdle(int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_cond.wait_until(lock, deadline, [&] { return m_bIdle; }))
                return false;
        }
        // Idle, and no connection waiting to be taken either.
        struct pollfd pfd = { m_iListenFd, POLLIN, 0 };
        if (poll(&pfd, 1, 0) == 0)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        sleep_ms(5);
    }
}

void CScriptedServer::stop()
{
    if (m_iListenFd < 0)
        return;
    char c = 0;
    while (write(m_wakePipe[1], &c, 1) < 0 && errno == EINTR) { }
    m_thread.join();
    ::close(m_iListenFd);
    ::close(m_wakePipe[0]);
    ::close(m_wakePipe[1]);
    m_iListenFd = -1;
    m_wakePipe[0] = m_wakePipe[1] = -1;
}

bool CScriptedServer::waitRequest(int connection, std::string* request, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    bool there = m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
        [&] { return static_cast<int>(m_requests.size()) >= connection; });
    if (!there || connection < 1)
        return false;
    if (request)
        *request = m_requests[static_cast<size_t>(connection - 1)];
    return true;
}

int CScriptedServer::requestCount()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_requests.size());
}

CAnswerScript CScriptedServer::scriptFor(int connection)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_answers.find(connection);
    return it != m_answers.end() ? it->second : m_defaultAnswer;
}

void CScriptedServer::serveLoop()
{
    for (int connection = 1;; ++connection) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bIdle = true;
            m_cond.notify_all();
        }
        struct pollfd pfd[2] = { { m_iListenFd, POLLIN, 0 }, { m_wakePipe[0], POLLIN, 0 } };
        int fd = -1;
        while (fd < 0) {
            int r = poll(pfd, 2, -1);
            if (r < 0 && errno != EINTR)
                return;
            if (pfd[1].revents)
                return;
            if (r > 0 && (pfd[0].revents & POLLIN))
                fd = accept4(m_iListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bIdle = false;
        }
        // A test that went wrong must not leave this thread blocked for good.
        struct timeval tv = { 20, 0 };
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        serve_connection(fd, scriptFor(connection), [this](const std::string& request) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(request);
            m_cond.notify_all();
        });
    }
}
