// The trace hook and the failure line.
#include "log_line.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"

#ifdef DVR_CGI_TRACE
void debug_print(const char* tag, const char* format, ...)
{
    char line[4096];
    int n = snprintf(line, sizeof(line), "%s ", tag);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(line))
        n = 0;
    va_list args;
    va_start(args, format);
    vsnprintf(line + n, sizeof(line) - static_cast<size_t>(n), format, args);
    va_end(args);
    // One write per line, so lines of concurrent CGIs do not interleave in the log.
    size_t len = strlen(line);
    if (len == 0 || line[len - 1] != '\n') {
        if (len + 1 < sizeof(line))
            line[len++] = '\n';
        else
            line[len - 1] = '\n';
    }
    ssize_t ignored = write(STDERR_FILENO, line, len);
    (void)ignored;
}
#endif

namespace {
const char* s_pchProgram = "dvr";
const char* s_pchSubFunc = "request";
const char* s_pchToDo = nullptr;
// The first cause of the run, its whole line; empty until one is noted.
char s_chFailureLine[DVR_FAILURE_LINE_MAX + 1];
size_t s_failureLineLen = 0;
bool s_bFailureWritten = false;

// Servers of the thttpd family give a CGI one pipe for both outputs: a line
// there would become part of the answer. A terminal is no answer, and shows it.
bool _stderr_is_the_answer()
{
    struct stat out, err;
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 && out.st_dev == err.st_dev
        && out.st_ino == err.st_ino && !S_ISCHR(out.st_mode);
}
} // namespace

void set_failure_program(const char* program) { s_pchProgram = program; }

void set_failure_request(const char* subFunc, const char* toDo)
{
    s_pchSubFunc = subFunc;
    s_pchToDo = toDo;
}

void note_failure(const char* format, ...)
{
    if (s_failureLineLen != 0)
        return;
    char* line = s_chFailureLine;
    const size_t size = sizeof(s_chFailureLine);
    int n = snprintf(line, size, "%s: %s%s%s: ", s_pchProgram, s_pchSubFunc, s_pchToDo ? "/" : "",
        s_pchToDo ? s_pchToDo : "");
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < size) {
        va_list args;
        va_start(args, format);
        vsnprintf(line + n, size - static_cast<size_t>(n), format, args);
        va_end(args);
    }
    // Cut to fit, the newline always last.
    size_t len = strnlen(line, DVR_FAILURE_LINE_MAX - 1);
    for (size_t i = 0; i < len; i++) {
        const unsigned char ch = static_cast<unsigned char>(line[i]);
        if (ch < 0x20 || ch == 0x7F)
            line[i] = '?';
    }
    line[len++] = '\n';
    s_failureLineLen = len;
}

void write_failure_line(void)
{
    if (s_failureLineLen == 0 || s_bFailureWritten || _stderr_is_the_answer())
        return;
    s_bFailureWritten = true;
    ssize_t ignored = write(STDERR_FILENO, s_chFailureLine, s_failureLineLen);
    (void)ignored;
}
