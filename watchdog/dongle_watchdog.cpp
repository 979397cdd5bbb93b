// dongle_watchdog: runs forever beside the TV backend and ends it whenever a
// USB tuner dongle disappears. Takes no arguments; ends only when killed.
#include "dongle_check.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

namespace {

// Standard output's writes for the line stream. stdio gives a line up when its
// write is interrupted, and keeps failing once a write has failed; here an
// interrupted write goes on, and a line the log cannot take (a full disk) is
// dropped, so that the next ones still reach it.
ssize_t _write_out(void*, const char* buf, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(STDOUT_FILENO, buf + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

} // namespace

int main()
{
    cookie_io_functions_t io = { nullptr, _write_out, nullptr, nullptr };
    FILE* out = fopencookie(nullptr, "w", io);
    if (!out)
        out = stdout;
    // The output goes to a log file or pipe; each line must be in it as it
    // happens, not when a block of several cycles has filled up.
    setvbuf(out, nullptr, _IOLBF, 0);

    CDongleCheck check(DONGLE_SYSFS_ROOT, DONGLE_DEVICE_ROOT, out, dongle_run_shell, dongle_sleep, nullptr);
    for (;;) {
        dongle_sleep(nullptr, DONGLE_PERIOD_SEC);
        check.checkOnce();
    }
}
