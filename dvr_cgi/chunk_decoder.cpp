// The chunked transfer coding, undone as the bytes arrive.
#include "chunk_decoder.h"

#include <string.h>

#include "base_io.h"
#include "platform.h"

long CChunkDecoder::decode(char* buf, size_t len)
{
    size_t out = 0;
    size_t i = 0;
    while (i < len && m_eState != DONE && m_eState != BAD) {
        if (m_eState != DATA) {
            m_eState = __afterByte(buf[i++]);
            continue;
        }
        size_t n = len - i;
        if (n > m_iLeft)
            n = static_cast<size_t>(m_iLeft);
        memmove(buf + out, buf + i, n);
        out += n;
        i += n;
        m_iLeft -= n;
        if (m_iLeft == 0)
            m_eState = DATA_CR;
    }
    return m_eState == BAD ? -1 : static_cast<long>(out);
}

CChunkDecoder::EState CChunkDecoder::__afterByte(char ch)
{
    // The trailer is read only to find its end: a few KiB of it, then no more.
    if ((m_eState == TRAILER || m_eState == TRAILER_LINE || m_eState == TRAILER_LF || m_eState == LAST_LF)
        && ++m_iTrailerLen > HTTP_CHUNK_TRAILER_MAX)
        return BAD;
    switch (m_eState) {
    case SIZE: {
        int v = hex_value(ch);
        if (v >= 0 && m_iDigits < 15) {
            m_iLeft = m_iLeft * 16 + static_cast<unsigned>(v);
            ++m_iDigits;
            return SIZE;
        }
        if (m_iDigits > 0 && (ch == ';' || ch == ' ' || ch == '\t')) {
            m_iLineLen = 0;
            return SIZE_END;
        }
        return m_iDigits > 0 && ch == '\r' ? SIZE_LF : BAD;
    }
    case SIZE_END: // chunk extensions, passed over
        if (ch == '\r')
            return SIZE_LF;
        return ++m_iLineLen > HTTP_CHUNK_LINE_MAX ? BAD : SIZE_END;
    case TRAILER_LINE: // a trailer line, passed over
        return ch == '\r' ? TRAILER_LF : TRAILER_LINE;
    case SIZE_LF:
        m_iDigits = 0;
        return ch != '\n' ? BAD : m_iLeft == 0 ? TRAILER : DATA;
    case TRAILER: // the start of a trailer line, or the empty line that ends the body
        return ch == '\r' ? LAST_LF : TRAILER_LINE;
    case DATA_CR:
        return ch == '\r' ? DATA_LF : BAD;
    case DATA_LF:
        return ch == '\n' ? SIZE : BAD;
    case TRAILER_LF:
        return ch == '\n' ? TRAILER : BAD;
    case LAST_LF:
        return ch == '\n' ? DONE : BAD;
    case DATA:
    case DONE:
    case BAD:
        break;
    }
    return m_eState;
}
