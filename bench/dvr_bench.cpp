// The benchmark driver: runs each request path through the shipped CGI, the
// floor and the peer side by side, then the stream relay against the best copy,
// and prints one table of medians and ratios. It runs inside the benchmark's
// sandbox (bench/run.sh), where the backend and login stand-ins listen and the
// NAS tools are in place.
//
//   dvr_bench --programs DIR --floor PATH --peers DIR --data DIR
//             [--runs N] [--relay-mib N] [--relay-rounds N] [--login-port N] [--busy N]
//
// --busy N: only the rows of the requests that check for the backend, under a
// title saying that N idle processes are listed ahead of it; no relay, no sizes.
//
// DIR of --data holds the backend bodies the answers must carry: info.json,
// add.json and epg.json. Exit status 1 when an answer is wrong or a target that
// does not depend on timing (processes, shells, memory) is missed; timing
// targets are reported, since one run on a shared machine proves little.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "child_start.h"
#include "platform.h"
#include "scripted_server.h"
#include "tcp.h"

namespace {

const char CGI_HEADER_FMT[]
    = "Connection: Close\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: %zu\r\n\r\n";
const char UNKNOWN_ANSWER[]
    = "{\"total_count\": 0, \"result\": \"failure\", \"errcode\": -4, \"errmsg\": \"ERROR UNKNOW COMMAND\"}";
const char SESSION_ID[] = "BenchSession01";

enum EVariant { OURS, FLOOR, PEER, VARIANT_COUNT };
const char* const VARIANT_NAMES[VARIANT_COUNT] = { "ours", "floor", "peer sh+curl" };

struct SCase {
    const char* pchLabel;
    const char* pchProgram; // tunerbay or epg
    const char* pchMethod;
    std::string query;
    std::string backendBody; // what the answer must carry; empty: self-answered
    double maxFloorRatio; // the wall-time target against the floor
    bool bLoginExchange; // the request's session check talks to the login service
};

struct SRun {
    double wallMs = 0;
    double cpuMs = 0;
    int status = -1;
    unsigned long long bytes = 0;
    std::string out;
};

struct SCount {
    int processes = 0;
    int shells = 0;
    int configTools = 0;
    long ownRssKiB = 0;
    std::string programs; // basenames of what was executed, in order
    std::map<std::string, long> peakByProgram;
};

struct SOptions {
    std::string programs, floor, peers, data;
    int runs = 300;
    unsigned long long relayMiB = 1024;
    int relayRounds = 5;
    int loginPort = 8080;
    int busy = -1;
};

double now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The CGI variables a web server gives every request, as in the end-to-end suite.
std::vector<std::string> cgi_environment(const SCase& c, const std::string& scriptName)
{
    std::vector<std::string> env = {
        "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
        "GATEWAY_INTERFACE=CGI/1.1",
        "SERVER_SOFTWARE=lighttpd",
        "SERVER_NAME=127.0.0.1",
        "SERVER_PROTOCOL=HTTP/1.1",
        "SERVER_PORT=8080",
        std::string("REQUEST_METHOD=") + c.pchMethod,
        "SCRIPT_NAME=/cgi-bin/" + scriptName,
        "REMOTE_ADDR=127.0.0.1",
        "HTTP_HOST=127.0.0.1:8080",
        "HTTP_USER_AGENT=bench",
        "HTTP_ACCEPT=*/*",
        "QUERY_STRING=" + c.query,
    };
    if (strcmp(c.pchMethod, "POST") == 0) {
        env.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
        env.push_back("CONTENT_LENGTH=" + std::to_string(c.query.size()));
    }
    return env;
}

// What a request would hand the backend: the floor sends the same.
std::string backend_request(const SCase& c)
{
    std::string path = std::string("/xrec/") + c.pchProgram + ".cgi";
    if (strcmp(c.pchMethod, "POST") == 0)
        return "POST " + path
            + " HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nHost: 127.0.0.1:"
            + std::to_string(DVR_BACKEND_PORT) + " \r\nContent-Length: " + std::to_string(c.query.size())
            + "\r\n\r\n" + c.query;
    return "GET " + path + "?" + c.query + " HTTP/1.1\r\n\r\n";
}

// What epg sends the login service for the benchmark's session.
std::string login_request(int port)
{
    const std::string form = std::string("sid=") + SESSION_ID + "&service=100\n";
    return "POST " NAS_LOGIN_PATH
           " HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nHost: " NAS_LOGIN_IP ":"
        + std::to_string(port) + " \r\nContent-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form;
}

// Starts argv with env, standard input holding stdinText (then its end), and
// standard output into a pipe that is read to its end: kept in r->out, or, with
// discard, moved to /dev/null and only counted. Then reaps it; the rusage
// counts the process and every process it waited for (their CPU time; its
// memory maximum is no use, see trace_once).
bool run_once(const std::vector<std::string>& argv, const std::vector<std::string>& env,
    const std::string& stdinText, int stdinFd, bool discard, SRun* r)
{
    int ownStdin = -1, out[2];
    if (stdinFd < 0 && (stdinFd = ownStdin = pipe_holding(stdinText)) < 0)
        return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        if (ownStdin >= 0)
            close(ownStdin);
        return false;
    }
    static int s_devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    SChildIo io;
    io.in = stdinFd;
    io.out = out[1];
    io.err = s_devNull;
    double t0 = now_ms();
    pid_t pid = start_program(io, argv, env);
    close(out[1]);
    if (ownStdin >= 0)
        close(ownStdin);
    if (pid < 0) {
        close(out[0]);
        return false;
    }
    r->out.clear();
    r->bytes = 0;
    for (;;) {
        ssize_t n;
        if (discard) {
            n = splice(out[0], nullptr, s_devNull, nullptr, 1 << 20, SPLICE_F_MOVE);
        } else {
            char buf[65536];
            n = read(out[0], buf, sizeof buf);
            if (n > 0)
                r->out.append(buf, static_cast<size_t>(n));
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        r->bytes += static_cast<unsigned long long>(n);
    }
    close(out[0]);
    int status;
    struct rusage ru;
    while (wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) { }
    r->wallMs = now_ms() - t0;
    r->cpuMs = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0
        + static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
    r->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

bool is_shell(const std::string& exe)
{
    static const char* const SHELLS[] = { "sh", "dash", "bash", "ash", "busybox" };
    for (const char* s : SHELLS) {
        if (base_name(exe) == s)
            return true;
    }
    return false;
}

// The peak resident memory of a process's current image (VmHWM), in KiB.
long peak_rss_kib(pid_t pid)
{
    std::string status;
    if (!read_file("/proc/" + std::to_string(pid) + "/status", &status))
        return -1;
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : strtol(status.c_str() + at + 6, nullptr, 10);
}

std::string exe_of(pid_t pid)
{
    char buf[4096];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("?");
}

// Runs one request under ptrace, following every process it starts: counts
// them (threads are not processes), names what each executes, and reads each
// image's peak resident memory as it exits. rusage cannot tell this: a
// process's maximum there includes the image it had before exec, which for a
// spawned CGI is a copy of this driver.
bool trace_once(const std::vector<std::string>& argv, const std::vector<std::string>& env,
    const std::string& stdinText, SCount* c)
{
    int out[2];
    SChildIo io;
    io.in = pipe_holding(stdinText);
    if (io.in < 0)
        return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(io.in);
        return false;
    }
    io.out = out[1];
    io.err = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t root = start_child(io, [&]() {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
        exec_program(argv, env);
        return 127;
    });
    close(io.in);
    close(io.out);
    if (io.err >= 0)
        close(io.err);
    if (root < 0) {
        close(out[0]);
        return false;
    }
    // The output is drained beside the tracing, so that a full pipe never
    // stops a traced writer while we wait for its next event.
    std::thread drain([fd = out[0]] {
        char buf[65536];
        while (read(fd, buf, sizeof buf) > 0 || errno == EINTR) { }
    });
    *c = SCount();
    c->processes = 1;
    int status;
    bool started = false;
    pid_t pid;
    while ((pid = waitpid(-1, &status, __WALL)) > 0) {
        if (!WIFSTOPPED(status))
            continue;
        int sig = WSTOPSIG(status);
        int event = status >> 16;
        int deliver = 0;
        if (!started && pid == root) {
            started = true;
            ptrace(PTRACE_SETOPTIONS, pid, nullptr,
                PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC
                    | PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
        } else if (event == PTRACE_EVENT_FORK || event == PTRACE_EVENT_VFORK) {
            c->processes++;
        } else if (event == PTRACE_EVENT_EXEC) {
            std::string exe = exe_of(pid);
            if (is_shell(exe))
                c->shells++;
            if (base_name(exe) == "getcfg")
                c->configTools++;
            c->programs += (c->programs.empty() ? "" : ", ") + base_name(exe);
        } else if (event == PTRACE_EVENT_EXIT) {
            long kib = peak_rss_kib(pid);
            std::string name = base_name(exe_of(pid));
            if (pid == root)
                c->ownRssKiB = kib;
            long& peak = c->peakByProgram[name];
            peak = std::max(peak, kib);
        } else if (event == 0 && sig != SIGSTOP && sig != SIGTRAP) {
            deliver = sig;
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
    }
    drain.join();
    close(out[0]);
    return started;
}

struct SVariantSetup {
    std::vector<std::string> argv;
    std::vector<std::string> env;
};

int g_failures = 0;

void check(bool ok, const char* what, const std::string& detail = std::string())
{
    printf("%s - %s%s%s\n", ok ? "ok" : "not ok", what, detail.empty() ? "" : ": ", detail.c_str());
    if (!ok)
        g_failures++;
}

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string ratio(double a, double b)
{
    char buf[32];
    if (b <= 0)
        return "-";
    snprintf(buf, sizeof buf, "%.2fx", a / b);
    return buf;
}

int usage()
{
    fprintf(stderr,
        "usage: dvr_bench --programs DIR --floor PATH --peers DIR --data DIR [--runs N] [--relay-mib N]\n"
        "                 [--relay-rounds N] [--login-port N] [--busy N]\n");
    return 2;
}

bool parse_options(int argc, char** argv, SOptions* o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--programs")
            o->programs = v;
        else if (a == "--floor")
            o->floor = v;
        else if (a == "--peers")
            o->peers = v;
        else if (a == "--data")
            o->data = v;
        else if (a == "--runs")
            o->runs = atoi(v);
        else if (a == "--relay-mib")
            o->relayMiB = strtoull(v, nullptr, 10);
        else if (a == "--relay-rounds")
            o->relayRounds = atoi(v);
        else if (a == "--login-port")
            o->loginPort = atoi(v);
        else if (a == "--busy")
            o->busy = atoi(v);
        else
            return false;
    }
    return argc % 2 == 1 && !o->programs.empty() && !o->floor.empty() && !o->peers.empty() && !o->data.empty()
        && o->runs > 0 && o->relayRounds > 0;
}

// The relay: the same stream from the backend through tunerbay, through the
// splice floor and through cat reading the backend's socket, each into a pipe.
void bench_relay(const SOptions& o, long* relayRssKiB, double* oursRate, double* bestRate)
{
    const unsigned long long bytes = o.relayMiB << 20;
    SCase relay = { "relay", "tunerbay", "GET", "subfunc=scan&todo=get&stream=1", "", 0, false };
    std::vector<std::string> env = cgi_environment(relay, "tunerbay.cgi");
    const char* const names[] = { "tunerbay", "splice copy", "cat from socket" };
    std::vector<double> rates[3];
    long rss = 0;
    bool complete = true;
    for (int round = 0; round < o.relayRounds; ++round) {
        // Each round starts with another copy, so that none always goes first.
        for (int k = 0; k < 3; ++k) {
            const int v = (round + k) % 3;
            SRun r;
            bool ok;
            if (v == 0) {
                ok = run_once({ o.programs + "/tunerbay" }, env, "", -1, true, &r);
            } else if (v == 1) {
                ok = run_once({ o.floor, "--splice", backend_request(relay) }, env, "", -1, true, &r);
            } else {
                // cat gets the backend's socket as its input, the request already sent.
                CTcp tcp;
                std::string request = backend_request(relay);
                tcp.setDestAddress(DVR_BACKEND_IP, DVR_BACKEND_PORT);
                ok = tcp.connectToDest() && tcp.sendAll(request.data(), request.size());
                // cat reads as a program reads its input: blocking.
                const int flags = ok ? fcntl(tcp.getSocket(), F_GETFL) : -1;
                ok = flags >= 0 && fcntl(tcp.getSocket(), F_SETFL, flags & ~O_NONBLOCK) == 0;
                ok = ok && run_once({ "/bin/cat" }, env, "", tcp.getSocket(), true, &r);
            }
            complete = complete && ok && r.bytes >= bytes;
            rates[v].push_back(
                r.wallMs > 0 ? (static_cast<double>(r.bytes) / 1048576.0) / (r.wallMs / 1000.0) : 0);
        }
    }
    check(complete, "every relay carried the whole stream");
    // Once more under the tracer, for the memory of the relaying process.
    SCount traced;
    if (trace_once({ o.programs + "/tunerbay" }, env, "", &traced))
        rss = traced.ownRssKiB;
    printf("\nStream relay: %llu MiB from the backend into a pipe, median of %d rounds\n", o.relayMiB,
        o.relayRounds);
    double best = std::max(median(rates[1]), median(rates[2]));
    for (int v = 0; v < 3; ++v) {
        std::string each;
        for (double r : rates[v])
            each += " " + std::to_string(static_cast<long>(r));
        printf("  %-16s %8.0f MiB/s  %s of the best copy   (rounds:%s)\n", names[v], median(rates[v]),
            ratio(median(rates[v]), best).c_str(), each.c_str());
    }
    printf("  tunerbay peak resident memory while relaying: %ld KiB\n", rss);
    *relayRssKiB = rss;
    *oursRate = median(rates[0]);
    *bestRate = best;
}

} // namespace

int main(int argc, char** argv)
{
    SOptions o;
    if (!parse_options(argc, argv, &o))
        return usage();
    signal(SIGPIPE, SIG_IGN);

    std::string infoBody, addBody, epgBody;
    if (!read_file(o.data + "/info.json", &infoBody) || !read_file(o.data + "/add.json", &addBody)
        || !read_file(o.data + "/epg.json", &epgBody)) {
        fprintf(stderr, "dvr_bench: missing backend bodies in %s\n", o.data.c_str());
        return 2;
    }
    std::vector<SCase> cases = {
        { "self-answered (unknown command)", "tunerbay", "GET", "subfunc=bench&todo=none", "", 1.3, false },
        { "forward GET (info list)", "tunerbay", "GET", "subfunc=info&todo=list", infoBody, 1.3, false },
        { "forward POST (network add)", "tunerbay", "POST",
            "subfunc=network&todo=add&name=Bench%20Mux&frequency=474000000&bandwidth=8", addBody, 1.3,
            false },
        { "epg info list, session check", "epg", "GET",
            std::string("subfunc=info&todo=list&sid=") + SESSION_ID + "&up=0&down=50", epgBody, 3.0, true },
    };
    if (o.busy >= 0)
        cases.erase(cases.begin()); // answered without asking for the backend
    // The session check's case, the last.
    const size_t EPG_CASE = cases.size() - 1;

    // Each variant of each case, checked once: ours must carry the backend's
    // body (or the unknown-command answer), the floor writes ours byte for byte.
    std::vector<SVariantSetup> setups[4];
    std::vector<SCount> counts(cases.size() * VARIANT_COUNT);
    for (size_t i = 0; i < cases.size(); ++i) {
        const SCase& c = cases[i];
        std::string expectedBody = c.backendBody.empty() ? std::string(UNKNOWN_ANSWER) : c.backendBody;
        std::string script = std::string(c.pchProgram) + ".cgi";
        SVariantSetup ours = { { o.programs + "/" + c.pchProgram }, cgi_environment(c, script) };
        SRun r;
        bool ran = run_once(ours.argv, ours.env, c.query, -1, false, &r);
        check(ran && ends_with(r.out, expectedBody) && (r.status == 0 || r.status == 255),
            (std::string(c.pchProgram) + ", " + c.pchLabel + ": the expected answer").c_str(),
            r.out.substr(0, 200));
        // The floor makes the request's socket exchanges: the backend's, and
        // the login service's for a session check.
        std::vector<std::string> floorArgv = { o.floor, r.out };
        if (!c.backendBody.empty())
            floorArgv.push_back(backend_request(c));
        if (c.bLoginExchange) {
            floorArgv.push_back(std::to_string(o.loginPort));
            floorArgv.push_back(login_request(o.loginPort));
        }
        SVariantSetup floorSetup = { floorArgv, ours.env };
        SVariantSetup peer = { { o.peers + "/" + script }, ours.env };
        SRun f, p;
        check(run_once(floorSetup.argv, floorSetup.env, c.query, -1, false, &f) && f.out == r.out,
            (std::string("floor, ") + c.pchLabel + ": the same answer").c_str());
        check(run_once(peer.argv, peer.env, c.query, -1, false, &p) && ends_with(p.out, expectedBody),
            (std::string("peer, ") + c.pchLabel + ": the expected answer").c_str(), p.out.substr(0, 200));
        setups[i] = { ours, floorSetup, peer };

        for (size_t v = 0; v < VARIANT_COUNT; ++v) {
            if (!trace_once(setups[i][v].argv, setups[i][v].env, c.query, &counts[i * VARIANT_COUNT + v]))
                check(false, "a traced run starts");
        }
    }

    // Timed runs, interleaved so that whatever else the machine does falls on
    // every variant alike; a few runs first to warm the caches.
    const int warm = std::min(10, o.runs);
    std::vector<double> wall[4][VARIANT_COUNT], cpu[4][VARIANT_COUNT];
    // The NAS configuration tool on its own, with the words of epg's first
    // run: what two of its starts add to a session check, measured alongside.
    const std::vector<std::string> toolArgv
        = { NAS_GETCFG_TOOL, "System", "Force SSL", "-d", "0", "-f", NAS_CONFIG_FILE };
    std::vector<double> toolWall;
    // And the stricter floor for epg: the backend exchange only.
    const std::vector<std::string> backendFloor(
        setups[EPG_CASE][FLOOR].argv.begin(), setups[EPG_CASE][FLOOR].argv.begin() + 3);
    std::vector<double> backendFloorWall;
    for (int run = -warm; run < o.runs; ++run) {
        SRun t;
        if (run_once(toolArgv, { DVR_CHILD_PATH_ENV }, "", -1, false, &t) && run >= 0)
            toolWall.push_back(t.wallMs);
        if (run_once(backendFloor, setups[EPG_CASE][FLOOR].env, "", -1, false, &t) && run >= 0)
            backendFloorWall.push_back(t.wallMs);
        for (size_t i = 0; i < cases.size(); ++i) {
            for (size_t v = 0; v < VARIANT_COUNT; ++v) {
                SRun r;
                if (!run_once(setups[i][v].argv, setups[i][v].env, cases[i].query, -1, false, &r)) {
                    check(false, "a timed run starts");
                    return 1;
                }
                if (run < 0)
                    continue;
                wall[i][v].push_back(r.wallMs);
                cpu[i][v].push_back(r.cpuMs);
            }
        }
    }

    if (o.busy >= 0)
        printf("\nWith %d idle processes listed in /proc ahead of the backend:", o.busy);
    printf("\nPer request: median of %d runs each, interleaved; wall and CPU in ms, CPU and memory of the\n"
           "request's processes together; processes the request starts, itself included.\n",
        o.runs);
    printf("%-32s %-13s %8s %8s %6s %6s %9s %11s %11s %10s\n", "request", "variant", "wall", "cpu", "procs",
        "shells", "rss KiB", "wall/floor", "wall/peer", "cpu/floor");
    for (size_t i = 0; i < cases.size(); ++i) {
        double floorWall = median(wall[i][FLOOR]), peerWall = median(wall[i][PEER]);
        double floorCpu = median(cpu[i][FLOOR]);
        for (size_t v = 0; v < VARIANT_COUNT; ++v) {
            const SCount& cnt = counts[i * VARIANT_COUNT + v];
            char procs[16], shells[16];
            snprintf(procs, sizeof procs, "%d", cnt.processes);
            snprintf(shells, sizeof shells, "%d", cnt.shells);
            const char* name = v == OURS ? cases[i].pchProgram : VARIANT_NAMES[v];
            printf("%-32s %-13s %8.3f %8.3f %6s %6s %9ld %11s %11s %10s\n", v == 0 ? cases[i].pchLabel : "",
                name, median(wall[i][v]), median(cpu[i][v]), procs, shells, cnt.ownRssKiB,
                ratio(median(wall[i][v]), floorWall).c_str(), ratio(median(wall[i][v]), peerWall).c_str(),
                ratio(median(cpu[i][v]), floorCpu).c_str());
        }
    }
    const double epgWall = median(wall[EPG_CASE][OURS]), toolRun = median(toolWall);
    printf("The configuration tool alone: %.3f ms a run. epg less its two runs: %.3f ms, %s its floor.\n",
        toolRun, epgWall - 2 * toolRun, ratio(epgWall - 2 * toolRun, median(wall[EPG_CASE][FLOOR])).c_str());
    printf(
        "epg's floor makes the login exchange and the backend's. A floor with the backend's only: %.3f ms;\n"
        "epg is %s that, and less its two tool runs %s.\n",
        median(backendFloorWall), ratio(epgWall, median(backendFloorWall)).c_str(),
        ratio(epgWall - 2 * toolRun, median(backendFloorWall)).c_str());
    printf("Programs each request runs, with the peak resident memory of each (KiB):\n");
    for (size_t i = 0; i < cases.size(); ++i) {
        for (size_t v = 0; v < VARIANT_COUNT; ++v) {
            const SCount& cnt = counts[i * VARIANT_COUNT + v];
            std::string peaks;
            for (const auto& kv : cnt.peakByProgram)
                peaks += (peaks.empty() ? "" : ", ") + kv.first + " " + std::to_string(kv.second);
            printf("  %-32s %-13s runs %s; peaks %s\n", v == 0 ? cases[i].pchLabel : "",
                v == OURS ? cases[i].pchProgram : VARIANT_NAMES[v], cnt.programs.c_str(), peaks.c_str());
        }
    }

    long relayRss = 0;
    double relayRate = 0, bestRate = 0;
    if (o.busy < 0) {
        bench_relay(o, &relayRss, &relayRate, &bestRate);
        printf("\nBinary sizes (bytes):\n");
        const std::string sized[]
            = { o.programs + "/tunerbay", o.programs + "/epg", o.programs + "/dongle_watchdog", o.floor,
                  o.peers + "/tunerbay.cgi", o.peers + "/epg.cgi", "/usr/bin/curl" };
        for (const std::string& path : sized) {
            struct stat st;
            if (stat(path.c_str(), &st) == 0)
                printf("  %-16s %10lld%s\n", base_name(path).c_str(), static_cast<long long>(st.st_size),
                    path == "/usr/bin/curl" ? "  (the peer's transfer tool, plus its shared libraries)" : "");
        }
    }

    // The targets. Timing targets are reported; the others decide the exit status.
    printf("\nTargets:\n");
    auto target = [](bool met, bool timing, const std::string& text) {
        printf("  %-7s %s\n", met ? "met" : "MISSED", text.c_str());
        if (!met && !timing)
            g_failures++;
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        double r = median(wall[i][OURS]) / median(wall[i][FLOOR]);
        char text[240];
        snprintf(text, sizeof text, "%s: wall %.2fx the floor (at most %.1fx)", cases[i].pchLabel, r,
            cases[i].maxFloorRatio);
        if (cases[i].bLoginExchange) {
            size_t len = strlen(text);
            snprintf(text + len, sizeof text - len,
                ";\n          against a floor without the login exchange %.2fx",
                median(wall[i][OURS]) / median(backendFloorWall));
        }
        target(r <= cases[i].maxFloorRatio, true, text);
        long own = counts[i * VARIANT_COUNT + OURS].ownRssKiB;
        char mem[160];
        snprintf(mem, sizeof mem, "%s: %s peak resident memory %ld KiB (at most 2048)", cases[i].pchLabel,
            cases[i].pchProgram, own);
        target(own > 0 && own <= 2048, false, mem);
    }
    {
        const SCount& e = counts[EPG_CASE * VARIANT_COUNT + OURS];
        char text[160];
        snprintf(text, sizeof text,
            "epg session check: %d shells (none), %d configuration-tool processes (at most 2)", e.shells,
            e.configTools);
        target(e.shells == 0 && e.configTools <= 2, false, text);
    }
    if (o.busy >= 0)
        return g_failures == 0 ? 0 : 1;
    char text[160];
    snprintf(text, sizeof text, "relay: %.2fx the best copy (at least 0.95x)", relayRate / bestRate);
    target(bestRate > 0 && relayRate >= 0.95 * bestRate, true, text);
    snprintf(text, sizeof text, "relay: peak resident memory %ld KiB (at most 2048)", relayRss);
    target(relayRss > 0 && relayRss <= 2048, false, text);
    return g_failures == 0 ? 0 : 1;
}
