// Stand-in for the TV recording backend in the end-to-end tests.
//
//   tvheadend --dir DIR [--port 9981] [--no-listen] [--print-stream BYTES]
//
// Serves connections on 127.0.0.1 one at a time until it is killed. Connection N
// is recorded in DIR/request.N and answered by DIR/answer.N, else DIR/answer,
// else a JSON {}. Its pid is in DIR/pid once it listens. --no-listen only writes
// the pid and sleeps (a backend that runs but refuses connections);
// --print-stream writes the first BYTES bytes of the stream pattern to standard
// output, so a test can compare what a client relayed.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "scripted_server.h"

namespace {

bool write_all(int fd, const char* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

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

bool read_text(const std::string& path, std::string* out)
{
    FILE* f = fopen(path.c_str(), "rbe");
    if (!f)
        return false;
    char buf[4096];
    size_t n;
    out->clear();
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    fclose(f);
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

// The script of connection n: answer.N, else answer, else the default {}.
// False (with the reason on standard error) when the chosen file is unusable.
bool load_script(const std::string& dir, int n, CAnswerScript* script)
{
    std::string text;
    std::string path = dir + "/answer." + std::to_string(n);
    if (!read_text(path, &text)) {
        path = dir + "/answer";
        if (!read_text(path, &text)) {
            *script = CAnswerScript::defaultAnswer();
            return true;
        }
    }
    std::string error;
    CAnswerScript parsed;
    if (!parsed.parse(text, dir, &error)) {
        fprintf(stderr, "tvheadend: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    *script = parsed;
    return true;
}

int usage()
{
    fprintf(stderr, "usage: tvheadend --dir DIR [--port 9981] [--no-listen] [--print-stream BYTES]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string dir;
    unsigned long long port = 9981;
    bool noListen = false;
    bool printStream = false;
    unsigned long long streamBytes = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--dir" && next) {
            dir = next;
            ++i;
        } else if (a == "--port" && parse_number(next, 65535, &port)) {
            ++i;
        } else if (a == "--print-stream" && parse_number(next, ~0ULL, &streamBytes)) {
            printStream = true;
            ++i;
        } else if (a == "--no-listen") {
            noListen = true;
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
    for (int n = 1;; ++n) {
        int fd;
        do {
            fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        } while (fd < 0 && (errno == EINTR || errno == ECONNABORTED));
        if (fd < 0) {
            fprintf(stderr, "tvheadend: accept: %s\n", strerror(errno));
            return 1;
        }
        CAnswerScript script;
        if (!load_script(dir, n, &script))
            script.close(); // recorded, then closed without an answer
        std::string requestName = "request." + std::to_string(n);
        serve_connection(fd, script, [&](const std::string& request) {
            if (!write_file_atomic(dir, requestName, request))
                fprintf(stderr, "tvheadend: cannot write %s/%s\n", dir.c_str(), requestName.c_str());
        });
    }
}
