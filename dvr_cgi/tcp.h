// A thin blocking IPv4 TCP client: one destination, at most one socket.
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
    // The longest wait of one send or receive; 0 waits without end.
    int m_iSilenceMs;
    // The moment by which the whole exchange must be over; tv_sec 0: none.
    struct timespec m_deadline;

    // Shortens the socket's limit for the next wait of this direction to what is
    // left of the deadline, once that is less than the silence limit; false when
    // nothing is left.
    bool __boundWait(int optname);

public:
    CTcp();
    ~CTcp();
    CTcp(const CTcp&) = delete;
    CTcp& operator=(const CTcp&) = delete;

    void setDestAddress(const char* pDistAddr, int port);
    void closeConnection();
    // False with errno saying why (ETIMEDOUT: no connect within the silence limit).
    bool connectToDest();
    // connectToDest starts the exchange's deadline; attachSocket does not.
    // msFromNow 0 takes it away (a relayed stream is bounded by its silence only).
    void setDeadline(int msFromNow);
    // One send; len 0 means strlen(pData). A peer that reset the connection
    // makes it fail with -1 instead of raising SIGPIPE.
    int sendData(const char* pData, int len);
    // Sends every byte, across short sends; false when the peer has gone, the
    // send limit ran out or the socket failed otherwise. The deadline bounds
    // each send's wait as it stands when the call starts.
    bool sendAll(const char* pData, size_t len);
    // One receive; 0 when the peer closed, -1 on failure (EAGAIN: the silence
    // limit or the deadline ran out). Adds no NUL.
    int recvData(char* pRecvBuf, int len);
    bool isConnectSuccess() const { return m_bIsConnectSuccess; }
    // Whether the exchange's deadline has passed: a receive that failed with
    // EAGAIN then ran out of time, not out of silence.
    bool isPastDeadline() const;
    int getSocket() const { return m_sockfd; }
    const struct sockaddr_in& getDestAddress() const { return m_dest_addr; }
    // The longest wait of each send and receive (and of a connect) on the socket
    // held now; connectToDest sets the usual limit. 0 waits without end.
    bool setSilenceLimit(int ms);
    // Takes over an already connected socket (a socket pair in tests and fuzzers).
    void attachSocket(int fd);
};

#endif
