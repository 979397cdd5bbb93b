// Stand-in for the TV recording backend in the end-to-end tests and the demo.
//
//   tvheadend --dir DIR [--routes RDIR] [--port 9981] [--no-listen] [--quiet] [--print-stream BYTES]
//
// Serves connections on 127.0.0.1 side by side, each in a thread of its own, as
// the real backend does, until it is killed. Connections are numbered in the
// order they are accepted. Connection N
// is recorded in DIR/request.N and answered by DIR/answer.N, else DIR/answer,
// else a JSON {}. Its pid is in DIR/pid once it listens. --no-listen only writes
// the pid and sleeps (a backend that runs but refuses connections);
// --print-stream writes the first BYTES bytes of the stream pattern to standard
// output, so a test can compare what a client relayed. --quiet records no
// requests and writes no route lines: a benchmark's backend does only what a
// client waits for.
//
// --routes RDIR answers by what was asked instead of by connection number. With
// NAME the last segment of the request's path up to its first dot ("/xrec/epg.cgi"
// gives epg) and the parameters taken from the query (a GET's request line, a
// POST's form body), the script is the first of
//   RDIR/NAME.SUBFUNC.TODO.KEY=VALUE   for each other parameter, in query order
//   RDIR/NAME.SUBFUNC.TODO
//   RDIR/default
// that exists, else the JSON {}. A part made of anything but letters, digits,
// '_' and '-' is never looked up, so no request names a file outside RDIR.
// An executable route file is a program that keeps state (the demo's): it runs,
// without a shell, with the raw request as its one argument, and what it prints
// is the JSON body of the answer. Connections may run it at the same time, so
// it guards its own state. Each connection's choice goes to standard error.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base_io.h"
#include "child_start.h"
#include "platform.h"
#include "scripted_server.h"

namespace {

// How long a connection may stay silent before its request. epg connects, then
// checks the caller's session, then sends: on a loaded machine the check takes
// seconds, and the backend, serving side by side, waits as a real one does.
const int REQUEST_SILENCE_MS = 30000;

// A reader never sees half a file: it is written under a hidden temporary name
// first, so that a glob for request.* never matches it either.
bool write_file_atomic(const std::string& dir, const std::string& name, const std::string& content)
{
    std::string path = dir + "/" + name;
    std::string tmp = dir + "/." + name + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, content.data(), content.size());
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool parse_number(const char* text, unsigned long long max, unsigned long long* value)
{
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-' || v > max)
        return false;
    *value = v;
    return true;
}

int print_stream(unsigned long long count)
{
    char buf[65536];
    unsigned long long offset = 0;
    while (offset < count) {
        size_t n = count - offset < sizeof buf ? static_cast<size_t>(count - offset) : sizeof buf;
        ts_pattern_fill(offset, buf, n);
        if (!write_all(1, buf, n))
            return 1;
        offset += n;
    }
    return 0;
}

// A route program's answer: the JSON body it printed. False when it could not
// run, printed nothing or more than fits. Connections are served side by side,
// so each waits for its own program.
bool run_route_program(const std::string& path, const std::string& request, CAnswerScript* script)
{
    const size_t bodyMax = 4 * 1024 * 1024;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    SChildIo io;
    io.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    io.out = fds[1];
    const pid_t pid = io.in < 0 ? -1 : start_program(io, { path, request }, { DVR_CHILD_PATH_ENV });
    close(fds[1]);
    if (io.in >= 0)
        close(io.in);
    std::string body;
    char buf[65536];
    ssize_t n;
    while (pid > 0 && ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))) {
        if (n > 0 && body.size() <= bodyMax)
            body.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (pid > 0)
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
    if (body.empty() || body.size() >= bodyMax)
        return false;
    *script = CAnswerScript().json(body);
    return true;
}

// The script of the first readable file of `paths`, else the default {}. The
// path taken goes to *chosen ("" for the default). With the request given, an
// executable file is a route program. False (with the reason on standard
// error) when the chosen file is unusable.
bool load_first_script(const std::vector<std::string>& paths, const std::string& baseDir,
    const std::string* request, CAnswerScript* script, std::string* chosen)
{
    std::string text;
    for (const std::string& path : paths) {
        if (request && access(path.c_str(), X_OK) == 0) {
            *chosen = path;
            if (run_route_program(path, *request, script))
                return true;
            fprintf(stderr, "tvheadend: %s: the route program gave no answer\n", path.c_str());
            return false;
        }
        if (!read_file(path, &text))
            continue;
        *chosen = path;
        std::string error;
        CAnswerScript parsed;
        if (!parsed.parse(text, baseDir, &error)) {
            fprintf(stderr, "tvheadend: %s: %s\n", path.c_str(), error.c_str());
            return false;
        }
        *script = parsed;
        return true;
    }
    chosen->clear();
    *script = CAnswerScript::defaultAnswer();
    return true;
}

// A name part that may become part of a file name: letters, digits, '_' and '-'.
bool is_plain_name(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'
            || c == '-';
        if (!plain)
            return false;
    }
    return true;
}

// The route files for one request, most specific first (see the top of this file).
std::vector<std::string> route_candidates(const std::string& request, const std::string& routesDir)
{
    std::vector<std::string> paths;
    size_t lineEnd = request.find("\r\n");
    std::string line = request.substr(0, lineEnd);
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    if (sp2 != std::string::npos) {
        std::string method = line.substr(0, sp1);
        std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        size_t q = target.find('?');
        std::string path = target.substr(0, q);
        std::string query = q == std::string::npos ? std::string() : target.substr(q + 1);
        size_t headEnd = request.find("\r\n\r\n");
        if (method == "POST" && headEnd != std::string::npos)
            query = request.substr(headEnd + 4);
        std::string name = path.substr(path.rfind('/') + 1);
        name = name.substr(0, name.find('.'));

        // Split as the programs split: at '&', empty pieces skipped, key and value
        // at the first '='; an empty value leaves a parameter as it was.
        std::vector<std::pair<std::string, std::string>> params;
        std::string subfunc, todo;
        size_t pos = 0;
        while (pos <= query.size()) {
            size_t amp = query.find('&', pos);
            std::string token = query.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
            pos = amp == std::string::npos ? query.size() + 1 : amp + 1;
            if (token.empty())
                continue;
            size_t eq = token.find('=');
            std::string key = token.substr(0, eq);
            std::string value = eq == std::string::npos ? std::string() : token.substr(eq + 1);
            if (key == "subfunc" && !value.empty())
                subfunc = value;
            else if (key == "todo" && !value.empty())
                todo = value;
            else if (key != "subfunc" && key != "todo")
                params.emplace_back(key, value);
        }
        if (is_plain_name(name) && is_plain_name(subfunc) && is_plain_name(todo)) {
            std::string base = routesDir + "/" + name + "." + subfunc + "." + todo;
            for (const auto& kv : params) {
                if (is_plain_name(kv.first) && is_plain_name(kv.second))
                    paths.push_back(base + "." + kv.first + "=" + kv.second);
            }
            paths.push_back(base);
        }
    }
    paths.push_back(routesDir + "/default");
    return paths;
}

int usage()
{
    fprintf(stderr,
        "usage: tvheadend --dir DIR [--routes RDIR] [--port 9981] [--no-listen] [--quiet] [--print-stream BYTES]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string dir;
    std::string routesDir;
    unsigned long long port = 9981;
    bool noListen = false;
    bool quiet = false;
    bool printStream = false;
    unsigned long long streamBytes = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--dir" && next) {
            dir = next;
            ++i;
        } else if (a == "--routes" && next) {
            routesDir = next;
            ++i;
        } else if (a == "--port" && parse_number(next, 65535, &port)) {
            ++i;
        } else if (a == "--print-stream" && parse_number(next, ~0ULL, &streamBytes)) {
            printStream = true;
            ++i;
        } else if (a == "--no-listen") {
            noListen = true;
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            return usage();
        }
    }
    if (printStream)
        return print_stream(streamBytes);
    if (dir.empty())
        return usage();

    // Whatever the starter left, a test must be able to end it with these.
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    // A client that went away must not end the backend.
    signal(SIGPIPE, SIG_IGN);

    std::string pidText = std::to_string(getpid()) + "\n";
    if (noListen) {
        if (!write_file_atomic(dir, "pid", pidText))
            return 1;
        for (;;)
            pause();
    }

    int listenFd = open_loopback_listener(static_cast<int>(port), nullptr);
    if (listenFd < 0) {
        fprintf(stderr, "tvheadend: cannot listen on 127.0.0.1:%llu: %s\n", port, strerror(errno));
        return 1;
    }
    if (!write_file_atomic(dir, "pid", pidText)) {
        fprintf(stderr, "tvheadend: cannot write %s/pid\n", dir.c_str());
        return 1;
    }
    // One connection, numbered n: recorded in request.N, answered by the
    // answer files or the routes. An unusable script: the request is
    // recorded, then the connection closed without an answer.
    auto serve = [dir, routesDir, quiet](int fd, int n) {
        const std::string requestName = "request." + std::to_string(n);
        auto record = [&](const std::string& request) {
            if (!quiet && !write_file_atomic(dir, requestName, request))
                fprintf(stderr, "tvheadend: cannot write %s/%s\n", dir.c_str(), requestName.c_str());
        };
        if (routesDir.empty()) {
            std::vector<std::string> paths { dir + "/answer." + std::to_string(n), dir + "/answer" };
            CAnswerScript script;
            std::string chosen;
            if (!load_first_script(paths, dir, nullptr, &script, &chosen))
                script.close();
            serve_connection(fd, script, record, REQUEST_SILENCE_MS);
            return;
        }
        serve_connection_by_request(
            fd,
            [&](const std::string& request) {
                CAnswerScript script;
                std::string chosen;
                if (!load_first_script(
                        route_candidates(request, routesDir), routesDir, &request, &script, &chosen))
                    script.close();
                if (!quiet)
                    fprintf(
                        stderr, "tvheadend: connection %d: %s\n", n, chosen.empty() ? "{}" : chosen.c_str());
                return script;
            },
            record, REQUEST_SILENCE_MS);
    };
    for (int n = 1;; ++n) {
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        while (fd < 0) {
            // Out of descriptors and the like pass; the backend keeps serving.
            if (errno != EINTR && errno != ECONNABORTED) {
                fprintf(stderr, "tvheadend: accept: %s\n", strerror(errno));
                sleep_ms(100);
            }
            fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        }
        std::thread(serve, fd, n).detach();
    }
}
