// The dongle watchdog's check cycle against a fake sysfs and device tree.
#include "dongle_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string progress(int tuner) { return "Check usb dongle " + std::to_string(tuner) + "... \n"; }

std::string removal(int tuner)
{
    return "Usb dongle " + std::to_string(tuner) + " is removed, try to restart tvheadend... \n";
}

// Ten progress lines, with a removal line right after each listed tuner's.
std::string cycleText(const std::vector<int>& removed)
{
    std::string s;
    for (int t = 0; t < DONGLE_TUNER_COUNT; t++) {
        s += progress(t);
        for (int r : removed)
            if (r == t)
                s += removal(t);
    }
    return s;
}

int countOpenFds()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (readdir(d))
        n++;
    closedir(d);
    return n;
}

void touch(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << path;
    close(fd);
}

// A private /sys/class/dvb and /dev/dvb under a temporary directory.
class FakeTree {
public:
    FakeTree()
    {
        char tmpl[] = "/tmp/dongle_check_XXXXXX";
        if (mkdtemp(tmpl))
            root = tmpl;
        sys = root + "/sys";
        dev = root + "/dev";
        mkdir(sys.c_str(), 0755);
        mkdir(dev.c_str(), 0755);
    }
    ~FakeTree()
    {
        if (!root.empty()) {
            std::string cmd = "rm -rf '" + root + "'";
            EXPECT_EQ(system(cmd.c_str()), 0);
        }
    }

    std::string sysfsDir(int t) const { return sys + "/dvb" + std::to_string(t) + ".frontend0"; }
    std::string devicePath(int t) const { return dev + "/adapter" + std::to_string(t) + "/frontend0"; }

    void registerTuner(int t)
    {
        ASSERT_EQ(mkdir(sysfsDir(t).c_str(), 0755), 0);
        touch(sysfsDir(t) + "/dev");
    }
    void unregisterTuner(int t)
    {
        ASSERT_EQ(unlink((sysfsDir(t) + "/dev").c_str()), 0);
        ASSERT_EQ(rmdir(sysfsDir(t).c_str()), 0);
    }
    void addDevice(int t)
    {
        mkdir((dev + "/adapter" + std::to_string(t)).c_str(), 0755);
        touch(devicePath(t));
    }
    void addDanglingDevice(int t)
    {
        mkdir((dev + "/adapter" + std::to_string(t)).c_str(), 0755);
        ASSERT_EQ(symlink("/nonexistent/frontend0", devicePath(t).c_str()), 0);
    }
    void removeDevice(int t) { ASSERT_EQ(unlink(devicePath(t).c_str()), 0); }

    std::string root, sys, dev;
};

// Everything the check did to the world, in order. A kill also records the output
// that had reached the stream by then, without flushing it ourselves: a memory
// stream shows its bytes only after a flush.
class Recorder {
public:
    Recorder() { out = open_memstream(&m_buf, &m_len); }
    ~Recorder()
    {
        fclose(out);
        free(m_buf);
    }

    CDongleCheck check(const FakeTree& tree) { return check(tree.sys, tree.dev); }
    CDongleCheck check(const std::string& sys, const std::string& dev)
    {
        m_sys = sys;
        m_dev = dev;
        return CDongleCheck(m_sys.c_str(), m_dev.c_str(), out, recordCommand, recordSleep, this);
    }

    std::string output()
    {
        fflush(out);
        return flushed();
    }

    FILE* out;
    std::vector<std::string> events;
    std::vector<std::string> outputAtKill;

private:
    std::string flushed() const { return std::string(m_buf ? m_buf : "", m_len); }

    static void recordCommand(void* ctx, const char* command)
    {
        Recorder* self = static_cast<Recorder*>(ctx);
        self->events.push_back(std::string("run ") + command);
        self->outputAtKill.push_back(self->flushed());
    }
    static void recordSleep(void* ctx, unsigned int seconds)
    {
        static_cast<Recorder*>(ctx)->events.push_back("sleep " + std::to_string(seconds));
    }

    std::string m_sys, m_dev;
    char* m_buf = nullptr;
    size_t m_len = 0;
};

std::vector<std::string> killsAndPauses(int n)
{
    std::vector<std::string> v;
    for (int i = 0; i < n; i++) {
        v.push_back("run killall tvheadend");
        v.push_back("sleep 10");
    }
    return v;
}

TEST(WatchdogCheck, NoTunersGivesTenProgressLinesAndNothingElse)
{
    FakeTree tree;
    Recorder rec;
    CDongleCheck check = rec.check(tree);
    EXPECT_EQ(check.checkOnce(), 0);
    EXPECT_EQ(rec.output(), cycleText({}));
    EXPECT_TRUE(rec.events.empty());
}

// One tuner in each state the tree can put it in.
TEST(WatchdogCheck, SingleTunerStates)
{
    enum Device { NONE, NODE, DANGLING };
    struct Case {
        const char* label;
        int tuner;
        bool registered;
        Device device;
        bool killed;
        bool noDescriptorLeft; // the watchdog's own shortage, not the dongle's
    };
    const Case cases[] = {
        { "present and openable", 0, true, NODE, false, false },
        { "registered, device gone", 4, true, NONE, true, false },
        { "registered, device a dangling link", 6, true, DANGLING, true, false },
        { "sysfs gone, device node left", 3, false, NODE, false, false },
        { "neither", 8, false, NONE, false, false },
        { "present, but no descriptor left to open it", 2, true, NODE, false, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FakeTree tree;
        Recorder rec;
        if (c.registered)
            tree.registerTuner(c.tuner);
        if (c.device == NODE)
            tree.addDevice(c.tuner);
        if (c.device == DANGLING)
            tree.addDanglingDevice(c.tuner);
        CDongleCheck check = rec.check(tree);
        struct rlimit saved;
        getrlimit(RLIMIT_NOFILE, &saved);
        if (c.noDescriptorLeft) {
            // The lowest free descriptor becomes the limit: the next open fails with EMFILE.
            const int lowest = dup(0);
            close(lowest);
            struct rlimit none = { static_cast<rlim_t>(lowest), saved.rlim_max };
            ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &none));
        }
        const int removed = check.checkOnce();
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(removed, c.killed ? 1 : 0);
        EXPECT_EQ(rec.output(), c.killed ? cycleText({ c.tuner }) : cycleText({}));
        EXPECT_EQ(rec.events, killsAndPauses(c.killed ? 1 : 0));
    }
}

TEST(WatchdogCheck, OnlyTunersZeroToNineAreLookedAt)
{
    FakeTree tree;
    Recorder rec;
    for (int t : { 10, 11, 19, 99 })
        tree.registerTuner(t); // registered without devices: each would be a removal
    tree.registerTuner(9);
    CDongleCheck check = rec.check(tree);
    EXPECT_EQ(check.checkOnce(), 1);
    EXPECT_EQ(rec.output(), cycleText({ 9 }));
    EXPECT_EQ(rec.events, killsAndPauses(1));
}

TEST(WatchdogCheck, SeveralRemovedTunersEachKillAndPauseInOrder)
{
    FakeTree tree;
    Recorder rec;
    const std::vector<int> removed = { 0, 3, 7, 9 };
    for (int t : removed)
        tree.registerTuner(t);
    tree.registerTuner(5);
    tree.addDevice(5);
    CDongleCheck check = rec.check(tree);
    EXPECT_EQ(check.checkOnce(), 4);
    std::string all = rec.output();
    EXPECT_EQ(all, cycleText(removed));
    EXPECT_EQ(rec.events, killsAndPauses(4));

    // Each kill comes once its own removal line has reached the stream (the
    // command writes to the same log), and before the next tuner's check.
    ASSERT_EQ(rec.outputAtKill.size(), removed.size());
    for (size_t i = 0; i < removed.size(); i++) {
        size_t end = all.find(removal(removed[i])) + removal(removed[i]).size();
        EXPECT_EQ(rec.outputAtKill[i], all.substr(0, end)) << "tuner " << removed[i];
    }
}

TEST(WatchdogCheck, NothingIsRememberedBetweenCycles)
{
    FakeTree tree;
    Recorder rec;
    tree.registerTuner(2);
    CDongleCheck check = rec.check(tree);
    EXPECT_EQ(check.checkOnce(), 1);
    EXPECT_EQ(check.checkOnce(), 1); // the condition lasts: acted on again

    tree.addDevice(2); // dongle back
    EXPECT_EQ(check.checkOnce(), 0);

    tree.removeDevice(2);
    tree.unregisterTuner(2); // unplugged for good: the kernel forgot it...
    tree.addDevice(2); // ...and a stale node is left behind
    EXPECT_EQ(check.checkOnce(), 0);

    EXPECT_EQ(rec.output(), cycleText({ 2 }) + cycleText({ 2 }) + cycleText({}) + cycleText({}));
    EXPECT_EQ(rec.events, killsAndPauses(2));
}

TEST(WatchdogCheck, OpenedDevicesAreClosedAgain)
{
    FakeTree tree;
    Recorder rec;
    for (int t = 0; t < DONGLE_TUNER_COUNT; t++) {
        tree.registerTuner(t);
        tree.addDevice(t);
    }
    CDongleCheck check = rec.check(tree);
    int before = countOpenFds();
    ASSERT_GT(before, 0);
    // 2000 opens: more than the usual descriptor limit of 1024 if any stayed open.
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(check.checkOnce(), 0);
    EXPECT_EQ(countOpenFds(), before);
    EXPECT_TRUE(rec.events.empty());
}

TEST(WatchdogCheck, OverlongPathIsNeverCutToAnotherPath)
{
    FakeTree tree;
    Recorder rec;
    // A directory whose path is exactly as long as the longest path that fits:
    // a cut sysfs path would name it and exist, while the cut device path names
    // nothing, which would look like a removed dongle on every tuner.
    std::string deep = tree.sys;
    while (deep.size() < DONGLE_PATH_BUF_SIZE - 1) {
        deep += "/" + std::string(std::min<size_t>(200, DONGLE_PATH_BUF_SIZE - 2 - deep.size()), 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0) << deep.size();
    }
    ASSERT_EQ(deep.size(), static_cast<size_t>(DONGLE_PATH_BUF_SIZE) - 1);
    std::string missingDev = tree.dev + "/" + std::string(DONGLE_PATH_BUF_SIZE, 'x');
    CDongleCheck check = rec.check(deep, missingDev);
    EXPECT_EQ(check.checkOnce(), 0);
    EXPECT_EQ(rec.output(), cycleText({}));
    EXPECT_TRUE(rec.events.empty());
}

TEST(WatchdogCheck, ShippedPathsAndCommand)
{
    char buf[DONGLE_PATH_BUF_SIZE];
    snprintf(buf, sizeof(buf), DONGLE_SYSFS_FMT, DONGLE_SYSFS_ROOT, 7);
    EXPECT_STREQ(buf, "/sys/class/dvb/dvb7.frontend0/dev");
    snprintf(buf, sizeof(buf), DONGLE_DEVICE_FMT, DONGLE_DEVICE_ROOT, 7);
    EXPECT_STREQ(buf, "/dev/dvb/adapter7/frontend0");
    EXPECT_STREQ(DONGLE_KILL_COMMAND, "killall tvheadend");
    EXPECT_EQ(DONGLE_PERIOD_SEC, 10);
    EXPECT_EQ(DONGLE_KILL_PAUSE_SEC, 10);
}

} // namespace
