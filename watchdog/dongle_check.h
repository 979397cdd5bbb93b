// One check cycle of the dongle watchdog: looks at DVB tuners 0 to 9 and ends the
// TV backend for every tuner that is still registered with the kernel but whose
// front-end device can no longer be opened (a USB dongle pulled out).
//
// The watchdog is a program of its own and shares nothing with the CGI programs,
// so its fixed paths and command live here.
#ifndef WATCHDOG_DONGLE_CHECK_H
#define WATCHDOG_DONGLE_CHECK_H

#include <stdio.h>

// A tuner is registered while "<sysfs root>/dvb<N>.frontend0/dev" exists, and
// usable while "<device root>/adapter<N>/frontend0" opens.
#define DONGLE_SYSFS_ROOT "/sys/class/dvb"
#define DONGLE_DEVICE_ROOT "/dev/dvb"
#define DONGLE_SYSFS_FMT "%s/dvb%d.frontend0/dev"
#define DONGLE_DEVICE_FMT "%s/adapter%d/frontend0"

// Ends the backend so that its supervisor starts it again without the dongle.
#define DONGLE_KILL_COMMAND "killall tvheadend"

enum {
    // Only the first ten adapter numbers are watched.
    DONGLE_TUNER_COUNT = 10,
    // Time between two cycles, and the first cycle's delay after start.
    DONGLE_PERIOD_SEC = 10,
    // Time the backend gets to go down after each kill before the next tuner.
    DONGLE_KILL_PAUSE_SEC = 10,
    // Path buffer; every path is written into it bounded.
    DONGLE_PATH_BUF_SIZE = 1024,
};

// How the check acts on the world; the shipped program passes dongle_run_shell
// and dongle_sleep, tests pass recorders.
typedef void (*dongle_command_fn)(void* ctx, const char* command);
typedef void (*dongle_sleep_fn)(void* ctx, unsigned int seconds);

// Runs a fixed command line through the shell; its result is of no interest.
void dongle_run_shell(void* ctx, const char* command);
// Sleeps the whole time, even when woken early.
void dongle_sleep(void* ctx, unsigned int seconds);

class CDongleCheck {
public:
    // The roots, the stream and the context are borrowed and must outlive the object.
    CDongleCheck(const char* sysfsRoot, const char* deviceRoot, FILE* out, dongle_command_fn runCommand,
        dongle_sleep_fn pause, void* ctx);

    // One pass over tuners 0 to 9. Returns how many removed dongles it acted on.
    int checkOnce();

private:
    // Writes a path (one of the two formats, with the root and the tuner) into
    // m_chPath; false when it does not fit.
    bool __formatPath(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // A registered tuner is one whose sysfs entry exists.
    bool __isRegistered(int tuner);
    // Opens the front end read-only and closes it at once.
    bool __canOpenDevice(int tuner);

    const char* m_pchSysfsRoot;
    const char* m_pchDeviceRoot;
    FILE* m_pOut;
    dongle_command_fn m_pRunCommand;
    dongle_sleep_fn m_pPause;
    void* m_pCtx;
    char m_chPath[DONGLE_PATH_BUF_SIZE];
};

#endif
