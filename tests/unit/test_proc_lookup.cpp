// Process lookup by command name, over a fake proc tree and over the real one.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "my_utility.h"

namespace {

// A throw-away proc root: numbered directories holding a status file.
class FakeProc : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/dvr_fakeproc_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_root = tmpl;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + m_root + "'";
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
    void addNamed(const std::string& entry, const std::string& comm, const std::string& statusName = "")
    {
        addProcess(entry, "Name:\t" + (statusName.empty() ? comm : statusName)
                + "\nUmask:\t0022\nState:\tS (sleeping)\nPid:\t" + entry + "\n");
        writeFile(m_root + "/" + entry + "/comm", comm + "\n");
    }
    void writeFile(const std::string& path, const std::string& text)
    {
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(nullptr, f);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    bool exists(const char* name) { return _is_process_exist_in(m_root.c_str(), name); }

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

    std::string m_root;
};

const std::vector<pid_t> kNull = { -1 };

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
        { "prefix", "tvhead", kNull },
        { "longer than the name", "tvheadendd", kNull },
        { "capital first letter", "Tvheadend", { 50 } },
        { "upper case", "TVHEADEND", kNull },
        { "part before the blank", "tv", { 41 } },
        { "name with blank as a whole", "tv headend", kNull },
        { "the label itself", "Name:", kNull },
        { "empty name", "", kNull },
        { "cut long line", longName.c_str(), kNull },
        { "init absent means pid 1", "init", { 1 } },
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
    EXPECT_EQ(kNull, scan("tvheadend"));
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
    const char* const names[]
        = { "tvheadend", "tv", "tv headend", "Tvheadend", "tvhe", "tvhe\tadend", "dvr", "x", "", "init", "self",
              "a\\b", "a\\\\b", "c", "c\rd" };
    for (const char* name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(scan(name) != kNull, exists(name));
    }
}

TEST_F(FakeProc, ExistenceAsksTheLastMatchFirst)
{
    addNamed("300", "tvheadend");
    EXPECT_TRUE(exists("tvheadend"));
    // The remembered process now has another name: the whole tree is asked again.
    writeFile(m_root + "/300/comm", "sleep\n");
    addNamed("77", "tvheadend");
    EXPECT_TRUE(exists("tvheadend"));
    writeFile(m_root + "/77/comm", "sleep\n");
    EXPECT_FALSE(exists("tvheadend"));
    // What was remembered for one name or root says nothing of another.
    addNamed("90", "epg");
    EXPECT_TRUE(exists("epg"));
    EXPECT_FALSE(exists("tvheadend"));
    std::string gone = m_root + "/not-there";
    EXPECT_FALSE(_is_process_exist_in(gone.c_str(), "epg"));
    EXPECT_FALSE(_is_process_exist_in(gone.c_str(), "init"));
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
    EXPECT_TRUE(is_process_exist(comm));
    EXPECT_FALSE(is_process_exist("no-such-comm-x"));
    EXPECT_TRUE(is_process_exist("init"));
    EXPECT_FALSE(is_process_exist(""));
}
