// Process lookup by command name, over a fake proc tree and over the real one.
#include <gtest/gtest.h>

#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "proc_lookup.h"

namespace {

// A throw-away proc root: numbered directories holding a status file.
class FakeProc : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/dvr_fakeproc_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_root = m_base = tmpl;
        m_hint = m_base + "/hint";
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + m_base + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }

    std::string dir(const std::string& entry)
    {
        std::string d = m_root + "/" + entry;
        mkdir(d.c_str(), 0755);
        return d;
    }
    void addProcess(const std::string& entry, const std::string& status)
    {
        std::string path = dir(entry) + "/status";
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(nullptr, f);
        fwrite(status.data(), 1, status.size(), f);
        fclose(f);
    }
    void addNamed(const std::string& entry, const std::string& comm, const std::string& statusName = "",
        const std::string& state = "S (sleeping)")
    {
        addProcess(entry,
            "Name:\t" + (statusName.empty() ? comm : statusName) + "\nUmask:\t0022\nState:\t" + state
                + "\nTgid:\t" + entry + "\nPid:\t" + entry + "\n");
        writeFile(m_root + "/" + entry + "/comm", comm + "\n");
    }
    void writeFile(const std::string& path, const std::string& text)
    {
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(nullptr, f);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    bool exists(const char* name) { return _is_process_exist_in(m_root.c_str(), name, m_hint.c_str()); }
    // The hint's content; a pipe or directory there reads as nothing.
    std::string hint()
    {
        char buf[64];
        int fd = open(m_hint.c_str(), O_RDONLY | O_NONBLOCK);
        ssize_t n = fd < 0 ? 0 : read(fd, buf, sizeof buf);
        if (fd >= 0)
            close(fd);
        return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }

    // Entry names in the order this directory's stream gives them.
    std::vector<std::string> readdirOrder()
    {
        std::vector<std::string> names;
        DIR* d = opendir(m_root.c_str());
        if (!d)
            return names;
        while (struct dirent* e = readdir(d))
            names.push_back(e->d_name);
        closedir(d);
        return names;
    }
    // The ids the scan should report for these entries, in directory order.
    std::vector<pid_t> inDirectoryOrder(const std::vector<std::string>& entries)
    {
        std::vector<pid_t> ids;
        for (const std::string& name : readdirOrder()) {
            for (const std::string& want : entries) {
                if (name == want)
                    ids.push_back(static_cast<pid_t>(atoi(name.c_str())));
            }
        }
        return ids;
    }

    std::vector<pid_t> scan(const char* name) { return take(_find_pid_by_name_in(m_root.c_str(), name)); }

    // Copies a zero-ended list and frees it; a null list becomes {-1}.
    static std::vector<pid_t> take(pid_t* list)
    {
        if (!list)
            return { -1 };
        std::vector<pid_t> ids;
        for (pid_t* p = list; *p != 0; ++p)
            ids.push_back(*p);
        free(list);
        return ids;
    }

    std::string m_base, m_root, m_hint;
};

const std::vector<pid_t> NO_MATCH = { -1 };

} // namespace

TEST_F(FakeProc, MatchesInDirectoryOrder)
{
    addNamed("300", "tvheadend");
    addNamed("25", "tvheadend");
    addNamed("7", "dongle_watchdog");
    addNamed("4000", "tvheadend");
    addNamed("1", "systemd");
    std::vector<pid_t> expected = inDirectoryOrder({ "300", "25", "4000" });
    ASSERT_EQ(3u, expected.size());
    EXPECT_EQ(expected, scan("tvheadend"));
    EXPECT_EQ(std::vector<pid_t>({ 7 }), scan("dongle_watchdog"));
}

TEST_F(FakeProc, ManyMatchesGrowTheList)
{
    std::vector<std::string> entries;
    for (int i = 100; i < 160; ++i) {
        entries.push_back(std::to_string(i));
        addNamed(entries.back(), "tvheadend");
    }
    std::vector<pid_t> got = scan("tvheadend");
    EXPECT_EQ(inDirectoryOrder(entries), got);
    EXPECT_EQ(60u, got.size());
}

TEST_F(FakeProc, NameRulesAndOddEntries)
{
    addNamed("300", "tvheadend");
    addNamed("25", "tvheadend");
    addNamed("50", "Tvheadend");
    addNamed("41", "tv headend");
    addProcess("42", "");
    addProcess("45", "Name:\n");
    addProcess("46", "Name:\t" + std::string(3000, 'x') + "\n");
    addProcess("47", "\nName:\ttvheadend\n");
    addNamed("48", "tvheadend\tx");
    // Ended, waiting to be reaped or being taken away: listed, but not running.
    addNamed("60", "tvheadend", "", "Z (zombie)");
    addNamed("61", "tvheadend", "", "X (dead)");
    addNamed("62", "defunct", "", "Z (zombie)");
    addNamed("63", "stopped", "", "T (stopped)");
    addNamed("64", "in-io", "", "D (disk sleep)");
    dir("43/status"); // a directory where the file should be
    dir("44"); // no status file at all
    ASSERT_EQ(0, symlink("/nonexistent/status", (dir("49") + "/status").c_str()));
    // Entries that are not processes, even when they look like one inside.
    addNamed("self", "tvheadend");
    addNamed("thread-self", "tvheadend");
    addNamed(".hidden", "tvheadend");
    addNamed("net", "tvheadend");
    addNamed("-5", "tvheadend");
    FILE* f = fopen((m_root + "/uptime").c_str(), "w");
    ASSERT_NE(nullptr, f);
    fclose(f);

    const std::string longName(3000, 'x');
    struct {
        const char* label;
        const char* name;
        std::vector<pid_t> expected;
    } cases[] = {
        { "whole name, two processes", "tvheadend", inDirectoryOrder({ "300", "25", "48" }) },
        { "prefix", "tvhead", NO_MATCH },
        { "longer than the name", "tvheadendd", NO_MATCH },
        { "capital first letter", "Tvheadend", { 50 } },
        { "upper case", "TVHEADEND", NO_MATCH },
        { "part before the blank", "tv", { 41 } },
        { "name with blank as a whole", "tv headend", NO_MATCH },
        { "the label itself", "Name:", NO_MATCH },
        { "empty name", "", NO_MATCH },
        { "cut long line", longName.c_str(), NO_MATCH },
        { "init absent means pid 1", "init", { 1 } },
        { "only a zombie of the name", "defunct", NO_MATCH },
        { "stopped still runs", "stopped", { 63 } },
        { "in disk sleep still runs", "in-io", { 64 } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.expected, scan(c.name));
    }
}

TEST_F(FakeProc, InitPresentIsReportedAsItIs)
{
    addNamed("88", "init");
    addNamed("1", "systemd");
    EXPECT_EQ(std::vector<pid_t>({ 88 }), scan("init"));
}

TEST_F(FakeProc, EmptyTree)
{
    EXPECT_EQ(NO_MATCH, scan("tvheadend"));
    EXPECT_EQ(std::vector<pid_t>({ 1 }), scan("init"));
}

TEST_F(FakeProc, MissingRootGivesNull)
{
    std::string gone = m_root + "/not-there";
    EXPECT_EQ(nullptr, _find_pid_by_name_in(gone.c_str(), "tvheadend"));
    EXPECT_EQ(nullptr, _find_pid_by_name_in(gone.c_str(), "init"));
}

// The existence check reads the short comm file and stops early; it must give
// the answer of the full status scan for every name. The kernel's status line
// shows the comm with a line feed and a backslash escaped, the rest as it is.
TEST_F(FakeProc, ExistenceAgreesWithTheFullScan)
{
    addNamed("300", "tvheadend");
    addNamed("41", "tv headend");
    addNamed("50", "Tvheadend");
    addNamed("52", "tvhe\tadend");
    addNamed("53", "dvr x y");
    addNamed("54", "a\\b", "a\\\\b");
    addNamed("55", "c\rd");
    addNamed("self", "tvheadend");
    dir("44"); // a process that is already gone: no files
    const char* const names[] = { "tvheadend", "tv", "tv headend", "Tvheadend", "tvhe", "tvhe\tadend", "dvr",
        "x", "", "init", "self", "a\\b", "a\\\\b", "c", "c\rd" };
    for (const char* name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(scan(name) != NO_MATCH, exists(name));
    }
}

TEST_F(FakeProc, ExistenceAsksTheLastMatchFirst)
{
    addNamed("300", "tvheadend");
    EXPECT_TRUE(exists("tvheadend"));
    // The remembered process now has another name: the whole tree is asked again.
    addNamed("300", "sleep");
    addNamed("77", "tvheadend");
    EXPECT_TRUE(exists("tvheadend"));
    addNamed("77", "sleep");
    EXPECT_FALSE(exists("tvheadend"));
    // What was remembered for one name or root says nothing of another.
    addNamed("90", "epg");
    EXPECT_TRUE(exists("epg"));
    EXPECT_FALSE(exists("tvheadend"));
    std::string gone = m_root + "/not-there";
    EXPECT_FALSE(_is_process_exist_in(gone.c_str(), "epg"));
    EXPECT_FALSE(_is_process_exist_in(gone.c_str(), "init"));
}

// The hint names a process to ask before the walk; whatever it holds, the
// answer is the walk's, and a walk that finds the process leaves its id there.
TEST_F(FakeProc, HintNeverChangesTheAnswer)
{
    struct {
        const char* label;
        const char* hint; // written as it is; null: see prepare
        int prepare; // 1 a link to a file, 2 a directory, 3 a pipe, 4 a hint in no directory,
                     // 5 the hint belongs to another user, 6 the backend's entry is a zombie,
                     // 7 no hint, and none can be written (a file size limit of 0)
        bool backendRuns;
        const char* hintAfter;
    } cases[] = {
        { "hint naming the backend", "300\n", 0, true, "300\n" },
        { "stale hint", "77\n", 0, true, "300\n" },
        { "hint naming another process", "90\n", 0, true, "300\n" },
        { "hint naming the backend, gone", "300\n", 0, false, "300\n" },
        { "garbage", "../300\n", 0, true, "300\n" },
        { "leading zero", "0300\n", 0, true, "300\n" },
        { "link to a file", nullptr, 1, true, "300\n" },
        { "directory", nullptr, 2, true, "" },
        { "pipe", nullptr, 3, true, "" },
        { "cannot be written", nullptr, 4, true, "" },
        // What a run ended in the middle of its write leaves; the next one mends it.
        { "interrupted write", "30", 0, true, "300\n" },
        { "a longer stale id is replaced whole", "123456\n", 0, true, "300\n" },
        { "another user's hint is left alone", "77\n", 5, true, "77\n" },
        { "hint naming a zombie backend", "300\n", 6, false, "300\n" },
        { "a zombie backend met by the walk", "90\n", 6, false, "90\n" },
        { "a hint that cannot be written is not left empty", nullptr, 7, true, "" },
    };
    int row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        m_root = m_base;
        m_root = dir("row" + std::to_string(++row));
        m_hint = m_root + "/hint";
        addNamed("90", "epg");
        if (c.backendRuns)
            addNamed("300", "tvheadend");
        else if (c.prepare == 6)
            addNamed("300", "tvheadend", "", "Z (zombie)");
        const std::string target = m_root + "/target";
        if (c.hint)
            writeFile(m_hint, c.hint);
        else if (c.prepare == 1) {
            writeFile(target, "300\n");
            ASSERT_EQ(0, symlink(target.c_str(), m_hint.c_str()));
        } else if (c.prepare == 2)
            mkdir(m_hint.c_str(), 0755);
        else if (c.prepare == 3)
            ASSERT_EQ(0, mkfifo(m_hint.c_str(), 0644));
        else if (c.prepare == 4)
            m_hint = m_root + "/none/hint";
        if (c.prepare == 5) {
            ASSERT_EQ(0, chown(m_hint.c_str(), geteuid() + 1, static_cast<gid_t>(-1))) << "needs root";
        }
        struct rlimit saved;
        getrlimit(RLIMIT_FSIZE, &saved);
        if (c.prepare == 7) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit none = { 0, saved.rlim_max };
            ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &none));
        }
        const bool bFound = exists("tvheadend");
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ(c.backendRuns, bFound);
        EXPECT_EQ(c.hintAfter, hint());
        if (c.prepare == 7) {
            EXPECT_NE(0, access(m_hint.c_str(), F_OK)) << "an empty hint left";
        }
        if (c.prepare == 1) {
            m_hint = target;
            EXPECT_EQ("300\n", hint()) << "the link's target is never written";
        }
        for (const std::string& name : readdirOrder())
            EXPECT_EQ(std::string::npos, name.find("hint.")) << "a temporary file left: " << name;
    }
}

TEST(ProcLookup, FindsThisProcessInTheRealTree)
{
    char comm[17] = {};
    ASSERT_EQ(0, prctl(PR_GET_NAME, comm));
    pid_t* list = find_pid_by_name(comm);
    ASSERT_NE(nullptr, list);
    bool found = false;
    for (pid_t* p = list; *p != 0; ++p)
        found = found || *p == getpid();
    free(list);
    EXPECT_TRUE(found);
    // The shipped hint stays where it is: these checks keep theirs in a directory of their own.
    char tmpl[] = "/tmp/dvr_hint_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    const std::string hint = std::string(tmpl) + "/hint";
    auto exists = [&](const char* name) { return _is_process_exist_in("/proc", name, hint.c_str()); };
    EXPECT_TRUE(exists(comm));
    EXPECT_FALSE(exists("no-such-comm-x"));
    EXPECT_TRUE(exists("init"));
    EXPECT_FALSE(exists(""));
    // A thread has an entry of its own that the listing does not show: a hint
    // naming it must not make its name a running process.
    int gate[2];
    ASSERT_EQ(0, pipe(gate));
    std::atomic<pid_t> tid { 0 };
    std::thread thread([&] {
        prctl(PR_SET_NAME, "dvr-thread-x");
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        char c;
        (void)!read(gate[0], &c, 1);
    });
    while (tid == 0)
        usleep(1000);
    FILE* f = fopen(hint.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fprintf(f, "%d\n", static_cast<int>(tid));
    fclose(f);
    EXPECT_FALSE(exists("dvr-thread-x"));
    (void)!write(gate[1], "x", 1);
    thread.join();
    close(gate[0]);
    close(gate[1]);
    EXPECT_TRUE(exists(comm));
    // The hint now names a process of our name: this one, or another test
    // process that ctest runs beside it.
    f = fopen(hint.c_str(), "r");
    ASSERT_NE(nullptr, f);
    int hinted = 0;
    EXPECT_EQ(1, fscanf(f, "%d", &hinted));
    fclose(f);
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/comm", hinted);
    f = fopen(path, "r");
    char hintedComm[64] = {};
    if (f) {
        EXPECT_NE(nullptr, fgets(hintedComm, sizeof hintedComm, f));
        fclose(f);
        EXPECT_EQ(std::string(comm) + "\n", hintedComm);
    }
    unlink(hint.c_str());
    rmdir(tmpl);
}
