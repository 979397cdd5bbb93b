// HTTP as text: composing the request, reading the status line and values.
#include "http_text.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base_io.h"

size_t http_compose(char* fixedBuf, size_t fixedSize, char** longBuf, const char* body, size_t bodyLen,
    const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    int headLen = vsnprintf(fixedBuf, fixedSize, format, ap);
    va_end(ap);
    if (headLen < 0)
        return 0;
    size_t total = static_cast<size_t>(headLen) + bodyLen;
    char* out = fixedBuf;
    if (total >= fixedSize) {
        out = static_cast<char*>(malloc(total + 1));
        if (!out) {
            fixedBuf[0] = '\0';
            return 0;
        }
        va_start(ap, format);
        vsnprintf(out, static_cast<size_t>(headLen) + 1, format, ap);
        va_end(ap);
        *longBuf = out;
    }
    memcpy(out + headLen, body, bodyLen);
    out[total] = '\0';
    return total;
}

std::string http_request_line_query(const std::string& query)
{
    std::string out;
    out.reserve(query.size());
    for (char byte : query) {
        const unsigned char ch = static_cast<unsigned char>(byte);
        if (ch <= ' ' || ch == 0x7F) {
            char escape[3];
            percent_encode(ch, escape);
            out.append(escape, sizeof(escape));
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

bool http_equal_nocase(const char* text, size_t len, const char* expected)
{
    if (strlen(expected) != len)
        return false;
    for (size_t i = 0; i < len; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != expected[i])
            return false;
    }
    return true;
}

int http_status_code(const char* line, size_t len)
{
    // "HTTP/1.x DDD" is 12 bytes; a reason phrase may follow a blank.
    if (len < 12 || (memcmp(line, "HTTP/1.0 ", 9) != 0 && memcmp(line, "HTTP/1.1 ", 9) != 0))
        return -1;
    int code = 0;
    for (size_t i = 9; i < 12; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return -1;
        code = code * 10 + (line[i] - '0');
    }
    return len == 12 || line[12] == ' ' ? code : -1;
}

long long http_content_length(const char* value, size_t len, long long limit)
{
    if (len == 0)
        return -1;
    long long v = 0;
    for (size_t i = 0; i < len; ++i) {
        if (value[i] < '0' || value[i] > '9')
            return -1;
        if (v <= limit)
            v = v * 10 + (value[i] - '0');
    }
    return v > limit ? limit + 1 : v;
}
