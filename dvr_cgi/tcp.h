// A thin IPv4 TCP client: one destination, at most one socket. Every wait of
// the socket is the one wait (base_io.h), bounded by the silence limit and,
// while an exchange runs, by its deadline.
#ifndef DVR_CGI_TCP_H
#define DVR_CGI_TCP_H

#include <netinet/in.h>
#include <stddef.h>
#include <time.h>

class CTcp {
private:
    struct sockaddr_in m_dest_addr;
    int m_sockfd;
    bool m_bIsConnectSuccess;
    // The longest wait of a connect, a send or a receive; 0 waits without end.
    int m_iSilenceMs;
    // The moment by which the exchange must be over, when m_bDeadline.
    bool m_bDeadline;
    struct timespec m_deadline;

    // The end of the next wait: the silence limit from now, or the deadline
    // when that comes first (null: none); pSilenceEnd is room for the moment.
    const struct timespec* waitEnd(struct timespec* pSilenceEnd) const;
    // Waits until the socket is ready for events: 1 ready, 0 when the peer
    // stayed silent (errno EAGAIN) or the deadline passed (errno ETIMEDOUT),
    // -1 on failure.
    int waitFor(short events) const;

public:
    CTcp();
    ~CTcp();
    CTcp(const CTcp&) = delete;
    CTcp& operator=(const CTcp&) = delete;

    void setDestAddress(const char* pDistAddr, int port);
    void closeConnection();
    // Connects within the silence limit; false with errno saying why
    // (ETIMEDOUT: no connection within the limit).
    bool connectToDest();
    // The longest wait of each connect, send and receive; 0 waits without end.
    void setSilenceLimit(int ms) { m_iSilenceMs = ms; }
    // Starts an exchange that must be over msFromNow from now; 0 takes the
    // deadline away (a relayed stream is bounded by its silence only).
    void setDeadline(int msFromNow);
    // One send; len 0 means strlen(pData). A peer that reset the connection
    // makes it fail with -1 instead of raising SIGPIPE.
    int sendData(const char* pData, int len);
    // Sends every byte, across short sends, within one silence limit and the
    // deadline; false when the peer has gone, time ran out (errno ETIMEDOUT)
    // or the socket failed.
    bool sendAll(const char* pData, size_t len);
    // One receive; 0 when the peer closed, -1 on failure: errno EAGAIN when
    // the peer stayed silent for the silence limit, ETIMEDOUT when the
    // exchange's deadline passed. Adds no NUL.
    int recvData(char* pRecvBuf, int len);
    bool isConnectSuccess() const { return m_bIsConnectSuccess; }
    int getSocket() const { return m_sockfd; }
    const struct sockaddr_in& getDestAddress() const { return m_dest_addr; }
    // Takes over an already connected socket (a socket pair in tests and
    // fuzzers); it is made non-blocking, as every socket of ours is.
    void attachSocket(int fd);
};

#endif
