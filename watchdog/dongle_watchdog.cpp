// dongle_watchdog: runs forever beside the TV backend and ends it whenever a
// USB tuner dongle disappears. Takes no arguments; ends only when killed.
#include "dongle_check.h"

#include <stdio.h>

int main()
{
    // The output goes to a log file or pipe; each line must be in it as it
    // happens, not when a block of several cycles has filled up.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    CDongleCheck check(
        DONGLE_SYSFS_ROOT, DONGLE_DEVICE_ROOT, stdout, dongle_run_shell, dongle_sleep, nullptr);
    for (;;) {
        dongle_sleep(nullptr, DONGLE_PERIOD_SEC);
        check.checkOnce();
    }
}
