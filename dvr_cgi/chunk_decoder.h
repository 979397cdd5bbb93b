// The chunked transfer coding of HTTP/1.1, for answer bodies and relayed streams.
#ifndef DVR_CGI_CHUNK_DECODER_H
#define DVR_CGI_CHUNK_DECODER_H

#include <stddef.h>

// Decodes the chunked transfer coding in place, piece by piece as the bytes
// arrive: the data bytes of each piece are moved to its front.
class CChunkDecoder {
public:
    // The number of data bytes now at the front of buf, or -1 for a malformed
    // coding, or one whose size line or trailer runs past its byte budget.
    // Bytes after the last chunk and its trailer are dropped.
    long decode(char* buf, size_t len);
    bool isDone() const { return m_eState == DONE; }

private:
    enum EState {
        SIZE,
        SIZE_END,
        SIZE_LF,
        DATA,
        DATA_CR,
        DATA_LF,
        TRAILER,
        TRAILER_LINE,
        TRAILER_LF,
        LAST_LF,
        DONE,
        BAD
    };
    EState m_eState = SIZE;
    unsigned long long m_iLeft = 0;
    int m_iDigits = 0;
    size_t m_iLineLen = 0;
    size_t m_iTrailerLen = 0;

    // The state after one byte of the coding outside the data.
    EState __afterByte(char ch);
};

#endif
