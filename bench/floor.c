/* The floor of the benchmark: the least a CGI process can do for a request.
 *
 *   floor ANSWER                   writes ANSWER to standard output
 *   floor ANSWER REQUEST           first sends REQUEST to the backend and reads
 *                                  its whole answer, then writes ANSWER
 *   floor ANSWER REQUEST PORT LOGIN
 *                                  the same, with the login exchange of a session
 *                                  check in between: connected to the backend, it
 *                                  sends LOGIN to 127.0.0.1:PORT and reads the
 *                                  whole answer before sending REQUEST
 *   floor --splice REQUEST         sends REQUEST, then moves the backend's answer
 *                                  to standard output with splice(2): the best
 *                                  copy of a stream into a pipe
 *   floor                          as a web server's CGI, which gets no words:
 *                                  takes them from the file named by its own
 *                                  path and ".args", each ended by a NUL
 *
 * Static, no allocation, no parsing: whatever a real CGI costs beyond this is
 * its own overhead. It writes with the programs' own write loop. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base_io.h"
#include "platform.h"

static int connect_to(int port)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    inet_pton(AF_INET, DVR_BACKEND_IP, &addr.sin_addr);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0)
        return -1;
    return fd;
}

static int send_request(int fd, const char* request)
{
    return fd >= 0 && send_all(fd, request, strlen(request), NULL) ? fd : -1;
}

/* Reads a connection to its end and closes it. */
static int drain(int fd)
{
    static char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) != 0) {
        if (n < 0 && errno != EINTR)
            return -1;
    }
    close(fd);
    return 0;
}

/* The words of the file PATH.args into words[1..], *count of them and words[0]
 * itself; 0 on success. */
static int words_from_file(const char* path, char** words, int* count)
{
    static char text[1 << 20];
    static char name[4096];
    if (strlen(path) + sizeof ".args" > sizeof name)
        return -1;
    strcpy(name, path);
    strcat(name, ".args");
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t len = 0;
    ssize_t n;
    while ((n = read(fd, text + len, sizeof text - len)) > 0)
        len += (size_t)n;
    close(fd);
    if (n < 0 || len == sizeof text)
        return -1;
    *count = 1;
    for (size_t at = 0; at < len && *count < 5; at += strlen(text + at) + 1)
        words[(*count)++] = text + at;
    return 0;
}

int main(int argc, char** argv)
{
    /* A backend that resets the connection ends the run with an error, not a signal. */
    signal(SIGPIPE, SIG_IGN);
    char* fileWords[5];
    if (argc == 1) {
        fileWords[0] = argv[0];
        if (words_from_file(argv[0], fileWords, &argc) != 0)
            return 2;
        argv = fileWords;
    }
    if (argc == 3 && strcmp(argv[1], "--splice") == 0) {
        int fd = send_request(connect_to(DVR_BACKEND_PORT), argv[2]);
        if (fd < 0)
            return 1;
        for (;;) {
            ssize_t n = splice(fd, NULL, 1, NULL, 1 << 20, SPLICE_F_MOVE);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0;
        }
    }
    if (argc != 2 && argc != 3 && argc != 5)
        return 2;
    if (argc >= 3) {
        int fd = connect_to(DVR_BACKEND_PORT);
        if (fd < 0)
            return 1;
        if (argc == 5 && drain(send_request(connect_to(atoi(argv[3])), argv[4])) != 0)
            return 1;
        if (drain(send_request(fd, argv[2])) != 0)
            return 1;
    }
    return !write_all(1, argv[1], strlen(argv[1]));
}
