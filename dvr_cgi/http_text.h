// HTTP as text, apart from any socket: the request composed, the query made
// fit for a request line, and the answer's status line and header values read.
#ifndef DVR_CGI_HTTP_TEXT_H
#define DVR_CGI_HTTP_TEXT_H

#include <stddef.h>

#include <string>

// Composes printf-style text followed by bodyLen raw bytes, in fixedBuf when it
// fits with its NUL, else in a heap buffer handed back in *longBuf (the caller
// frees it). The length of the whole text, or 0 when it could not be composed.
size_t http_compose(char* fixedBuf, size_t fixedSize, char** longBuf, const char* body, size_t bodyLen,
    const char* format, ...) __attribute__((format(printf, 6, 7)));

// The query for the request line: bytes that would end or split the line
// (blanks and control bytes) are percent-encoded, every other byte travels as
// the browser sent it.
std::string http_request_line_query(const std::string& query);

// Whether text of len bytes is expected in any letter case (expected is lower case).
bool http_equal_nocase(const char* text, size_t len, const char* expected);

// The status code of a status line (without its CR LF): "HTTP/1.0" or
// "HTTP/1.1", a blank, exactly three digits, then a blank or the line's end.
// -1 for any other line.
int http_status_code(const char* line, size_t len);

// A Content-Length value (blanks around it already taken away): plain decimal
// digits only. -1 for anything else (a sign, an empty value, other bytes);
// a value above limit reads as limit + 1.
long long http_content_length(const char* value, size_t len, long long limit);

#endif
