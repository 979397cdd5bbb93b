// The configuration tool stand-in of the end-to-end suite, run as the programs
// run it: argv words, no shell. Its lookup over an ini file, its options, and
// its call log (kept only when the log exists already).
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "base_io.h"
#include "child_run.h"

namespace {

// Starts the tool with these words (through the emulator in a cross build).
[[noreturn]] void execTool(const std::vector<const char*>& words, char* const envp[])
{
    std::vector<const char*> argv;
#ifdef STANDIN_EMULATOR
    argv.push_back(STANDIN_EMULATOR);
#endif
    argv.push_back(STANDIN_GETCFG);
    argv.insert(argv.end(), words.begin(), words.end());
    argv.push_back(nullptr);
    execve(argv[0], const_cast<char* const*>(argv.data()), envp);
    _exit(127);
}

// Standard output and standard error together, and how the tool ended.
ChildResult runTool(const std::vector<const char*>& words)
{
    return run_in_child([&]() {
        dup2(1, 2);
        char path[] = "PATH=/usr/bin:/bin";
        char* envp[] = { path, nullptr };
        execTool(words, envp);
        return 127;
    });
}

std::string readFile(const std::string& path)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return "(none)";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

// The lines in order: qemu-user hands the environment over in an order of its own.
std::string sortedLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end + 1 - start));
    std::sort(lines.begin(), lines.end());
    std::string sorted;
    for (const auto& line : lines)
        sorted += line;
    return sorted + text.substr(start);
}

bool writeFile(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && written;
}

// Binds the open file fd to path when path is missing (hidden by a new
// mount), making its directories first.
bool bindBack(int fd, const std::string& path)
{
    if (access(path.c_str(), F_OK) == 0)
        return close(fd) == 0;
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    std::string from = "/proc/self/fd/" + std::to_string(fd);
    bool bound = writeFile(path, "") && mount(from.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0;
    close(fd);
    return bound;
}

class GetcfgStandin : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/dvr_unit_getcfg.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        conf_ = dir_ + "/Moravel.conf";
    }
    void TearDown() override
    {
        unlink(conf_.c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_;
    std::string conf_;
};

const char USAGE_LINE[] = "usage: getcfg SECTION KEY [-d DEFAULT] [-f FILE]\n";

} // namespace

TEST_F(GetcfgStandin, FirstKeyInsideTheSectionTrimmed)
{
    struct {
        const char* label;
        std::string ini;
        const char* section;
        const char* key;
        const char* fallback; // -d, none when null
        const char* printed;
    } cases[] = {
        { "found", "[System]\nForce SSL = 1\nWeb Access Port = 8080\n", "System", "Web Access Port", nullptr,
            "8080\n" },
        { "only in another section", "[Stunnel]\nport = 443\n[System]\nx = 1\n", "System", "port", nullptr,
            "" },
        { "only in another section, default", "[Stunnel]\nport = 443\n[System]\n", "System", "port", "9",
            "9\n" },
        { "found, default unused", "[Stunnel]\nport = 443\n", "Stunnel", "port", "9", "443\n" },
        { "blanks, tabs and CR trimmed", " \t[System] \r\n\t Force SSL \t=  1 \t\r\n", "System", "Force SSL",
            nullptr, "1\n" },
        { "blanks inside the value kept", "[S]\nk = a  b \n", "S", "k", nullptr, "a  b\n" },
        { "first of two lines", "[S]\nk = 1\nk = 2\n", "S", "k", nullptr, "1\n" },
        { "section met again", "[S]\n[T]\nk = 1\n[S]\nk = 2\n", "S", "k", nullptr, "2\n" },
        { "key compared whole", "[S]\nkey2 = 1\nke = 2\nKey = 3\n", "S", "key", nullptr, "" },
        { "section compared whole", "[System2]\nk = 1\n[Sys]\nk = 2\n[ System ]\nk = 3\n", "System", "k",
            nullptr, "" },
        { "value holds '='", "[S]\nk = a=b\n", "S", "k", nullptr, "a=b\n" },
        { "empty value beats the default", "[S]\nk =\n", "S", "k", "d", "\n" },
        { "line without '=' skipped", "[S]\nk\nk = 1\n", "S", "k", nullptr, "1\n" },
        { "key before any section", "k = 1\n[S]\n", "S", "k", nullptr, "" },
        { "last line without line feed", "[S]\nk = v", "S", "k", nullptr, "v\n" },
        { "cut after '='", "[S]\nk =", "S", "k", nullptr, "\n" },
        { "cut inside the key", "[S]\nk", "S", "k", "d", "d\n" },
        { "cut inside the header", "[S", "S", "k", "d", "d\n" },
        { "header without ']' names the section", "[S\nk = 1\n", "S", "k", nullptr, "1\n" },
        { "empty file", "", "S", "k", nullptr, "" },
        { "NUL byte in another line", std::string("[S]\nj = a\0b\nk = 1\n", 18), "S", "k", nullptr, "1\n" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(writeFile(conf_, c.ini));
        std::vector<const char*> words = { c.section, c.key };
        if (c.fallback) {
            words.push_back("-d");
            words.push_back(c.fallback);
        }
        words.push_back("-f");
        words.push_back(conf_.c_str());
        ChildResult r = runTool(words);
        EXPECT_EQ(c.printed, r.out);
        EXPECT_EQ(0, r.exitCode());
    }
}

TEST_F(GetcfgStandin, OptionsAndUsage)
{
    ASSERT_TRUE(writeFile(conf_, "[S]\nk = v\n"));
    const char* conf = conf_.c_str();
    const char* missing = "/tmp/dvr_unit_getcfg.none/Moravel.conf";
    struct {
        const char* label;
        std::vector<const char*> words;
        std::string printed; // standard output and standard error
        int status;
    } cases[] = {
        { "options in any order", { "S", "k", "-d", "x", "-f", conf }, "v\n", 0 },
        { "unknown words skipped", { "S", "k", "-x", "junk", "-f", conf, "--" }, "v\n", 0 },
        { "last default wins", { "S", "none", "-d", "1", "-d", "2", "-f", conf }, "2\n", 0 },
        { "last file wins", { "S", "k", "-f", missing, "-f", conf }, "v\n", 0 },
        { "missing file", { "S", "k", "-f", missing }, "", 0 },
        { "missing file, default", { "S", "k", "-f", missing, "-d", "0" }, "0\n", 0 },
        { "empty default", { "S", "none", "-d", "", "-f", conf }, "\n", 0 },
        { "a directory, default", { "S", "k", "-f", "/tmp", "-d", "0" }, "0\n", 0 },
        { "-d without a value", { "S", "k", "-f", conf, "-d" }, "", 2 },
        { "-f without a value", { "S", "k", "-d", "0", "-f" }, "", 2 },
        { "no word", {}, USAGE_LINE, 2 },
        { "one word", { "S" }, USAGE_LINE, 2 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ChildResult r = runTool(c.words);
        EXPECT_EQ(c.printed, r.out);
        EXPECT_EQ(c.status, r.exitCode());
    }
}

// The call log lives at a fixed place under /tmp; each case gets a private /tmp
// (a mount namespace of its own, which needs root) so the host's stays untouched.
TEST(GetcfgStandinLog, WrittenOnlyWhenTheCallLogExists)
{
    struct {
        const char* label;
        bool logExists;
        std::string expected;
    } cases[] = {
        { "log exists", true,
            "out: 1\n"
            "log: earlier\n[S] [k k] [] [[x]] [-f] [/tmp/c]\n"
            "env: A=b c\nPATH=/x\n"
            "fd: 0 -> /dev/null\n1 -> /tmp/out\n2 -> /dev/null\n7 -> /dev/null\n" },
        { "no log", false,
            "out: 1\n"
            "log: (none)env: (none)fd: (none)" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ChildResult r = run_in_child([&]() {
            if (unshare(CLONE_NEWNS) != 0)
                return 77;
            // A build tree under /tmp: the tool is bound back to its path.
            int tool = open(STANDIN_GETCFG, O_RDONLY | O_CLOEXEC);
            if (tool < 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                || mount("tmpfs", "/tmp", "tmpfs", 0, nullptr) != 0 || !bindBack(tool, STANDIN_GETCFG))
                return 1;
            mkdir("/tmp/nas", 0755);
            mkdir("/tmp/nas/log", 0755);
            if ((c.logExists && !writeFile("/tmp/nas/log/getcfg.log", "earlier\n"))
                || !writeFile("/tmp/c", "[S]\nk k = 1\n"))
                return 1;
            SChildIo io;
            io.out = open("/tmp/out", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            io.err = open("/dev/null", O_RDWR | O_CLOEXEC);
            pid_t pid = start_child(io, [&]() {
                dup2(2, 7);
                for (int fd = 3; fd < 1024; fd++) {
                    if (fd != 7)
                        close(fd);
                }
                char path[] = "PATH=/x";
                char other[] = "A=b c";
                char* envp[] = { path, other, nullptr };
                execTool({ "S", "k k", "", "[x]", "-f", "/tmp/c" }, envp);
                return 127;
            });
            close(io.out);
            close(io.err);
            int status;
            if (pid < 0 || waitpid(pid, &status, 0) != pid)
                return 1;
            std::string report = "out: " + readFile("/tmp/out")
                + "log: " + readFile("/tmp/nas/log/getcfg.log")
                + "env: " + sortedLines(readFile("/tmp/nas/log/getcfg.env"))
                + "fd: " + readFile("/tmp/nas/log/getcfg.fd");
            write_all(1, report.data(), report.size());
            return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        });
        if (r.exitCode() == 77)
            GTEST_SKIP() << "no mount namespace (needs root)";
        EXPECT_EQ(c.expected, r.out);
        EXPECT_EQ(0, r.exitCode());
    }
}
