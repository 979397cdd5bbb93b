// Fuzzes the backend answer parser and the body reader: the input is what the
// backend sends, fed through a socket pair.
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "small_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A transport stream takes over the process; that path has its own tests.
    if (memmem(data, size, "video/mp2t", 10))
        return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    int bufSize = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof(bufSize));
    size_t off = 0;
    while (off < size) {
        ssize_t n = write(fds[1], data + off, size - off);
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
    close(fds[1]);
    {
        CSmallHttp http("127.0.0.1", 9981);
        http.getTcp().attachSocket(fds[0]);
        const char* pBody = http.getHttpRespondEntiyBody();
        if (pBody) {
            // A body is always terminated text within what was received.
            size_t len = strlen(pBody);
            if (len > size)
                __builtin_trap();
        }
    }
    return 0;
}
