// Stand-in for the NAS configuration tool, over an ini-style configuration file.
//   getcfg SECTION KEY [-d DEFAULT] [-f FILE]
// Prints the key's value and a line feed; without the key the default (when one
// is given); otherwise nothing. Each call's words go to a log, one line per call,
// every word in brackets, so a test can check the exact words and count the runs.
// Tests find their logs in the sandbox's fixed place: the programs start this
// tool with the web server's environment, which holds nothing of the sandbox's.
// The logs are kept only when the call log exists already (a test case creates
// it); anywhere else, e.g. when a request is timed, the tool costs no more than
// its lookup.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "base_io.h"
#include "platform.h"

#define GETCFG_LOG_DIR "/tmp/nas/log"

namespace {

const char USAGE[] = "usage: getcfg SECTION KEY [-d DEFAULT] [-f FILE]\n";

// A piece of a line; lines may hold any byte, NUL included.
struct Span {
    const char* p;
    size_t n;
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Leading blanks go, trailing blanks and CRs too (a file edited on Windows).
Span trim(Span s)
{
    while (s.n > 0 && isBlank(*s.p)) {
        s.p++;
        s.n--;
    }
    while (s.n > 0 && (isBlank(s.p[s.n - 1]) || s.p[s.n - 1] == '\r'))
        s.n--;
    return s;
}

bool same(Span s, const char* word) { return s.n == strlen(word) && memcmp(s.p, word, s.n) == 0; }

// The call's words as "[a] [b] ...", one line added with a single write, so
// lines of calls running at the same time never mix.
void logWords(int fd, int argc, char** argv)
{
    size_t len = 1;
    for (int i = 1; i < argc; i++)
        len += strlen(argv[i]) + 3;
    char* line = static_cast<char*>(malloc(len));
    if (!line)
        return;
    size_t at = 0;
    for (int i = 1; i < argc; i++) {
        if (i > 1)
            line[at++] = ' ';
        line[at++] = '[';
        size_t n = strlen(argv[i]);
        memcpy(line + at, argv[i], n);
        at += n;
        line[at++] = ']';
    }
    line[at++] = '\n';
    write_all(fd, line, at);
    free(line);
}

// What the tool inherited: the programs promise the web server's environment
// less the request, and no descriptor but 0-2. The descriptors opened here for the listing are left out.
void logContext()
{
    FILE* env = fopen(GETCFG_LOG_DIR "/getcfg.env", "we");
    if (env) {
        for (char** e = environ; *e; e++)
            fprintf(env, "%s\n", *e);
        fclose(env);
    }
    FILE* fds = fopen(GETCFG_LOG_DIR "/getcfg.fd", "we");
    if (!fds)
        return;
    DIR* dir = opendir("/proc/self/fd");
    if (dir) {
        struct dirent* entry;
        while ((entry = readdir(dir)) != nullptr) {
            const char* name = entry->d_name;
            if (name[0] == '.')
                continue;
            int fd = atoi(name);
            if (fd == dirfd(dir) || fd == fileno(fds))
                continue;
            char target[4096];
            ssize_t n = readlinkat(dirfd(dir), name, target, sizeof target - 1);
            target[n > 0 ? n : 0] = '\0';
            fprintf(fds, "%s -> %s\n", name, target);
        }
        closedir(dir);
    }
    fclose(fds);
}

// The key's value: the first "key = value" line inside "[section]", both
// compared whole after trimming blanks. A header is any line whose first
// non-blank is "["; its name is what stands between that "[" and a closing "]".
// Fills value (the caller frees line) and returns true when found.
bool lookUp(const char* file, const char* section, const char* key, char** line, Span* value)
{
    FILE* in = fopen(file, "re");
    if (!in)
        return false;
    size_t cap = 0;
    bool inside = false;
    bool found = false;
    ssize_t got;
    while (!found && (got = getline(line, &cap, in)) >= 0) {
        Span s = { *line, static_cast<size_t>(got) };
        if (s.n > 0 && s.p[s.n - 1] == '\n')
            s.n--;
        Span t = trim(s);
        if (t.n > 0 && t.p[0] == '[') {
            t.p++;
            t.n--;
            if (t.n > 0 && t.p[t.n - 1] == ']')
                t.n--;
            inside = same(t, section);
            continue;
        }
        if (!inside)
            continue;
        const char* eq = static_cast<const char*>(memchr(s.p, '=', s.n));
        if (eq && same(trim(Span { s.p, static_cast<size_t>(eq - s.p) }), key)) {
            *value = trim(Span { eq + 1, s.n - static_cast<size_t>(eq + 1 - s.p) });
            found = true;
        }
    }
    fclose(in);
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    int log = open(GETCFG_LOG_DIR "/getcfg.log", O_WRONLY | O_APPEND | O_CLOEXEC);
    if (log >= 0) {
        logWords(log, argc, argv);
        close(log);
        logContext();
    }

    if (argc < 3) {
        fputs(USAGE, stderr);
        return 2;
    }
    const char* section = argv[1];
    const char* key = argv[2];
    const char* file = NAS_CONFIG_FILE;
    const char* fallback = nullptr;
    for (int i = 3; i < argc; i++) {
        const char** option = nullptr;
        if (strcmp(argv[i], "-d") == 0)
            option = &fallback;
        else if (strcmp(argv[i], "-f") == 0)
            option = &file;
        else
            continue; // any other word is skipped
        if (i + 1 >= argc)
            return 2;
        *option = argv[++i];
    }

    char* line = nullptr;
    Span value;
    if (lookUp(file, section, key, &line, &value)) {
        fwrite(value.p, 1, value.n, stdout);
        fputc('\n', stdout);
    } else if (fallback) {
        fprintf(stdout, "%s\n", fallback);
    }
    free(line);
    return 0;
}
