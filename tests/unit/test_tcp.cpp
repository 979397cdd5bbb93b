// CTcp: the destination record, connecting, one send and one receive, and who
// closes the descriptor.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "child_run.h"
#include "scripted_server.h"
#include "tcp.h"

namespace {

const unsigned char* bytes_of(const void* p) { return static_cast<const unsigned char*>(p); }

bool fd_is_open(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

int open_fd_count()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (readdir(d))
        ++n;
    closedir(d);
    return n;
}

// A port on which nothing listens: one that was just free.
int closed_port()
{
    int port = 0;
    int fd = open_loopback_listener(0, &port);
    close(fd);
    return port;
}

// A loopback listener that never accepts: the kernel completes connections
// to it, and no thread of this process opens or closes descriptors meanwhile,
// so descriptor numbers can be watched.
struct SListener {
    int fd = -1;
    int port = 0;
    SListener() { fd = open_loopback_listener(0, &port); }
    ~SListener()
    {
        if (fd >= 0)
            close(fd);
    }
};

// A connected pair: `ours` goes into a CTcp, `peer` plays the backend.
struct SPair {
    int ours = -1;
    int peer = -1;
    SPair()
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            ours = sv[0];
            peer = sv[1];
        }
    }
    ~SPair()
    {
        if (peer >= 0)
            close(peer);
    }
};

} // namespace

TEST(TcpAddress, FreshObjectHoldsNothing)
{
    CTcp tcp;
    EXPECT_EQ(tcp.getSocket(), -1);
    EXPECT_FALSE(tcp.isConnectSuccess());
    const struct sockaddr_in& a = tcp.getDestAddress();
    for (size_t i = 0; i < sizeof a; ++i)
        EXPECT_EQ(bytes_of(&a)[i], 0) << "byte " << i;
}

TEST(TcpAddress, DestinationBytes)
{
    struct Case {
        const char* label;
        const char* ip;
        int port;
        unsigned char portBytes[2];
        unsigned char addr[4];
    } cases[] = {
        { "backend", "127.0.0.1", 9981, { 0x26, 0xFD }, { 127, 0, 0, 1 } },
        { "port above 65535 keeps the low 16 bits", "127.0.0.1", 65536 + 9981, { 0x26, 0xFD },
            { 127, 0, 0, 1 } },
        { "70000", "10.1.2.3", 70000, { 0x11, 0x70 }, { 10, 1, 2, 3 } },
        { "unreadable address", "not-an-address", 80, { 0x00, 0x50 }, { 255, 255, 255, 255 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CTcp tcp;
        tcp.setDestAddress(c.ip, c.port);
        const struct sockaddr_in& a = tcp.getDestAddress();
        EXPECT_EQ(a.sin_family, AF_INET);
        EXPECT_EQ(memcmp(&a.sin_port, c.portBytes, 2), 0);
        EXPECT_EQ(memcmp(&a.sin_addr, c.addr, 4), 0);
        EXPECT_EQ(tcp.getSocket(), -1) << "setting the destination opens nothing";
    }
}

TEST(TcpConnect, ConnectsWithCloseOnExecSocket)
{
    SListener server;
    ASSERT_GE(server.fd, 0);
    CTcp tcp;
    tcp.setDestAddress("127.0.0.1", server.port);
    ASSERT_TRUE(tcp.connectToDest());
    EXPECT_TRUE(tcp.isConnectSuccess());
    ASSERT_GE(tcp.getSocket(), 0);
    // A daemon started later by the program must not inherit the backend connection.
    EXPECT_TRUE(fcntl(tcp.getSocket(), F_GETFD) & FD_CLOEXEC);
}

TEST(TcpConnect, RefusedKeepsSocketUntilDestroyed)
{
    int fd;
    {
        CTcp tcp;
        tcp.setDestAddress("127.0.0.1", closed_port());
        EXPECT_FALSE(tcp.connectToDest());
        EXPECT_FALSE(tcp.isConnectSuccess());
        fd = tcp.getSocket();
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(fd_is_open(fd));
    }
    EXPECT_FALSE(fd_is_open(fd));
}

TEST(TcpConnect, SecondConnectDoesNotLeakTheFirstSocket)
{
    SListener server;
    ASSERT_GE(server.fd, 0);
    CTcp tcp;
    tcp.setDestAddress("127.0.0.1", server.port);
    ASSERT_TRUE(tcp.connectToDest());
    int before = open_fd_count();
    ASSERT_TRUE(tcp.connectToDest());
    EXPECT_EQ(open_fd_count(), before);
    tcp.setDestAddress("127.0.0.1", closed_port());
    EXPECT_FALSE(tcp.connectToDest());
    EXPECT_FALSE(tcp.isConnectSuccess());
    EXPECT_EQ(open_fd_count(), before);
}

TEST(TcpClose, CloseConnectionForgetsSocketAndDestination)
{
    SListener server;
    ASSERT_GE(server.fd, 0);
    CTcp tcp;
    tcp.setDestAddress("127.0.0.1", server.port);
    ASSERT_TRUE(tcp.connectToDest());
    int fd = tcp.getSocket();
    tcp.closeConnection();
    EXPECT_EQ(tcp.getSocket(), -1);
    EXPECT_FALSE(fd_is_open(fd));
    EXPECT_TRUE(tcp.isConnectSuccess()) << "left as it was";
    const struct sockaddr_in& a = tcp.getDestAddress();
    for (size_t i = 0; i < sizeof a; ++i)
        EXPECT_EQ(bytes_of(&a)[i], 0) << "byte " << i;
}

TEST(TcpClose, DestroyClosesNothingItDoesNotHold)
{
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    int reusedFd = -1;
    {
        CTcp never; // never connected
    }
    {
        SListener server;
        ASSERT_GE(server.fd, 0);
        CTcp tcp;
        tcp.setDestAddress("127.0.0.1", server.port);
        ASSERT_TRUE(tcp.connectToDest());
        int fd = tcp.getSocket();
        reusedFd = fd;
        tcp.closeConnection();
        // The number is free again; whoever gets it next must keep it.
        ASSERT_EQ(dup2(pipeFds[0], fd), fd);
        // tcp is destroyed here
    }
    EXPECT_TRUE(fd_is_open(pipeFds[0]));
    EXPECT_TRUE(fd_is_open(pipeFds[1]));
    EXPECT_TRUE(fd_is_open(reusedFd)) << "closed by an object that no longer held it";
    close(reusedFd);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(TcpAttach, AdoptsAndClosesASocket)
{
    SPair pair;
    ASSERT_GE(pair.ours, 0);
    {
        CTcp tcp;
        tcp.attachSocket(pair.ours);
        EXPECT_TRUE(tcp.isConnectSuccess());
        EXPECT_EQ(tcp.getSocket(), pair.ours);
    }
    EXPECT_FALSE(fd_is_open(pair.ours));
}

TEST(TcpData, SendLengthZeroMeansWholeText)
{
    SPair pair;
    CTcp tcp;
    tcp.attachSocket(pair.ours);
    EXPECT_EQ(tcp.sendData("subfunc=info", 0), 12);
    EXPECT_EQ(tcp.sendData("abcdef", 3), 3);
    shutdown(pair.ours, SHUT_WR);
    char buf[64];
    std::string got;
    ssize_t n;
    while ((n = read(pair.peer, buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(got, std::string("subfunc=infoabc")) << "no NUL travels";
}

TEST(TcpData, ReceiveIsOneCallWithoutNul)
{
    SPair pair;
    CTcp tcp;
    tcp.attachSocket(pair.ours);
    ASSERT_EQ(write(pair.peer, "hello", 5), 5);
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(tcp.recvData(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 4), "helx");
    EXPECT_EQ(tcp.recvData(buf, sizeof buf), 2);
}

TEST(TcpData, ReceiveAfterPeerCloseIsZeroEveryTime)
{
    SPair pair;
    CTcp tcp;
    tcp.attachSocket(pair.ours);
    ASSERT_EQ(write(pair.peer, "ab", 2), 2);
    close(pair.peer);
    pair.peer = -1;
    char buf[16];
    EXPECT_EQ(tcp.recvData(buf, sizeof buf), 2);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(tcp.recvData(buf, sizeof buf), 0) << "call " << i;
}

TEST(TcpData, ReceiveWithoutSocketFails)
{
    CTcp tcp;
    char buf[4];
    EXPECT_EQ(tcp.recvData(buf, sizeof buf), -1);
    EXPECT_EQ(tcp.sendData("x", 0), -1);
}

// With the peer gone a send fails (-1, or false for the whole-text send); the
// default SIGPIPE action must not end the process.
TEST(TcpData, SendToClosedPeerFailsWithoutSigpipe)
{
    ChildResult r = run_in_child([] {
        SPair pair;
        CTcp tcp;
        tcp.attachSocket(pair.ours);
        close(pair.peer);
        pair.peer = -1;
        int first = tcp.sendData("GET / HTTP/1.1\r\n\r\n", 0);
        int second = tcp.sendData("more", 0);
        bool whole = tcp.sendAll("more", 4);
        return first == -1 && second == -1 && !whole && errno == EPIPE ? 0 : 1;
    });
    EXPECT_FALSE(r.signaled()) << "signal " << r.termSignal();
    EXPECT_EQ(r.exitCode(), 0);
}
