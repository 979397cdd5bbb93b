#include "dongle_check.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

void dongle_run_shell(void*, const char* command)
{
    int rc = system(command);
    (void)rc; // "no process found" is an ordinary outcome; killall says so on its own
}

void dongle_sleep(void*, unsigned int seconds)
{
    // sleep() returns the time left when a signal cut it short; the pause is fixed.
    while (seconds > 0)
        seconds = sleep(seconds);
}

CDongleCheck::CDongleCheck(const char* sysfsRoot, const char* deviceRoot, FILE* out,
    dongle_command_fn runCommand, dongle_sleep_fn pause, void* ctx)
    : m_pchSysfsRoot(sysfsRoot)
    , m_pchDeviceRoot(deviceRoot)
    , m_pOut(out)
    , m_pRunCommand(runCommand)
    , m_pPause(pause)
    , m_pCtx(ctx)
{
    memset(m_chPath, 0, sizeof(m_chPath));
}

bool CDongleCheck::__formatPath(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int len = vsnprintf(m_chPath, sizeof(m_chPath), fmt, args);
    va_end(args);
    // A cut path names some other file; better not to look at all.
    return len >= 0 && static_cast<size_t>(len) < sizeof(m_chPath);
}

bool CDongleCheck::__isRegistered(int tuner)
{
    struct stat st;
    return __formatPath(DONGLE_SYSFS_FMT, m_pchSysfsRoot, tuner) && stat(m_chPath, &st) == 0;
}

bool CDongleCheck::__canOpenDevice(int tuner)
{
    if (!__formatPath(DONGLE_DEVICE_FMT, m_pchDeviceRoot, tuner))
        return true; // unknown, and the backend is not ended on a guess
    int fd;
    do {
        fd = open(m_chPath, O_RDONLY);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    // Out of descriptors or memory is the watchdog's own shortage, not a
    // dongle pulled out: the backend is not ended for it.
    return errno == EMFILE || errno == ENFILE || errno == ENOMEM;
}

int CDongleCheck::checkOnce()
{
    int removed = 0;
    for (int tuner = 0; tuner < DONGLE_TUNER_COUNT; tuner++) {
        fprintf(m_pOut, "Check usb dongle %d... \n", tuner);
        if (!__isRegistered(tuner) || __canOpenDevice(tuner))
            continue;
        fprintf(m_pOut, "Usb dongle %d is removed, try to restart tvheadend... \n", tuner);
        // The command writes to the same log; our line must be there before its words.
        fflush(m_pOut);
        m_pRunCommand(m_pCtx, DONGLE_KILL_COMMAND);
        m_pPause(m_pCtx, DONGLE_KILL_PAUSE_SEC);
        removed++;
    }
    return removed;
}
