// Process lookup by command name, with the hint that makes the common check cheap.
#include "proc_lookup.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base_io.h"
#include "log_line.h"
#include "platform.h"

namespace {

// Whether a status file's "State:" field (the text after the label) shows a
// process that has ended: a zombie waiting to be reaped, or one being taken
// away. Its entry is still listed, with its name, but nothing of it runs.
bool _is_ended_state(const char* pState)
{
    pState += strspn(pState, " \t");
    return *pState == 'Z' || *pState == 'X';
}

} // namespace

pid_t* _find_pid_by_name_in(const char* procRoot, const char* pidName)
{
    DIR* pDir = opendir(procRoot);
    if (!pDir) {
        debug_print("[find_pid_by_name]", "Cannt open /proc");
        return nullptr;
    }
    pid_t* pidList = nullptr;
    size_t i = 0;
    char filename[DVR_PATH_BUF_SIZE];
    char buffer[DVR_PATH_BUF_SIZE];
    char name[DVR_PATH_BUF_SIZE];
    struct dirent* pEntry;
    while ((pEntry = readdir(pDir)) != nullptr) {
        if (pEntry->d_name[0] < '0' || pEntry->d_name[0] > '9')
            continue;
        snprintf(filename, sizeof(filename), "%s/%s/status", procRoot, pEntry->d_name);
        FILE* pStatus = fopen(filename, "re");
        if (!pStatus)
            continue;
        memset(buffer, 0, sizeof(buffer));
        // The first line is "Name:\t<comm>"; a line without a second word names nothing.
        memset(name, 0, sizeof(name));
        if (!fgets(buffer, sizeof(buffer) - 1, pStatus) || sscanf(buffer, "%*s %1023s", name) != 1
            || strcmp(name, pidName) != 0) {
            fclose(pStatus);
            continue;
        }
        bool bEnded = false;
        while (fgets(buffer, sizeof(buffer) - 1, pStatus)) {
            if (strncmp(buffer, "State:", 6) == 0) {
                bEnded = _is_ended_state(buffer + 6);
                break;
            }
        }
        fclose(pStatus);
        if (bEnded)
            continue;
        pid_t* pGrown = static_cast<pid_t*>(realloc(pidList, (i + 2) * sizeof(pid_t)));
        if (!pGrown)
            break; // what was found so far is still a valid answer
        pidList = pGrown;
        pidList[i++] = static_cast<pid_t>(strtol(pEntry->d_name, nullptr, 0));
    }
    closedir(pDir);

    if (i > 0) {
        pidList[i] = 0;
        return pidList;
    }
    free(pidList);
    if (strcmp(pidName, "init") == 0) {
        // Process 1 is taken to be init when no process of that name is listed.
        pid_t* pInit = static_cast<pid_t*>(malloc(2 * sizeof(pid_t)));
        if (pInit) {
            pInit[0] = 1;
            pInit[1] = 0;
        }
        return pInit;
    }
    return nullptr;
}

pid_t* find_pid_by_name(const char* pidName) { return _find_pid_by_name_in(DVR_PROC_ROOT, pidName); }

namespace {

// Whether a failure to read /proc says that a process is gone (its entry went
// away with it), rather than that this run could not look (no descriptor, no
// memory, an I/O error): a lookup that could not look cannot say "not running".
bool _is_gone_errno(int err) { return err == ENOENT || err == ESRCH; }

// The start of one file of a process's entry, NUL-ended; false when nothing
// can be read, with *pUnknown set when that is not because the process is gone.
bool _read_entry_file(int procFd, const char* entry, const char* file, char* buf, size_t size, bool* pUnknown)
{
    char path[DVR_PATH_BUF_SIZE];
    snprintf(path, sizeof(path), "%s/%s", entry, file);
    int fd = openat(procFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *pUnknown = *pUnknown || !_is_gone_errno(errno);
        return false;
    }
    ssize_t n = read_some(fd, buf, size - 1);
    if (n < 0)
        *pUnknown = *pUnknown || !_is_gone_errno(errno);
    close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    return true;
}

// Whether a process's command name, as the first word of the status line's
// "Name:" field shows it, is `name`. Read from the short comm file:
// the kernel formats the whole status file on every read, which made the scan
// the largest cost of a forwarded request.
bool _comm_word_is(int procFd, const char* entry, const char* name, bool* pUnknown)
{
    char comm[64];
    if (!_read_entry_file(procFd, entry, "comm", comm, sizeof(comm), pUnknown))
        return false;
    comm[strcspn(comm, " \t\n\v\f\r")] = '\0';
    if (comm[0] == '\0')
        return false;
    // The status line shows a backslash doubled.
    char shown[2 * sizeof(comm)];
    size_t len = 0;
    for (const char* p = comm; *p; p++) {
        if (*p == '\\')
            shown[len++] = '\\';
        shown[len++] = *p;
    }
    shown[len] = '\0';
    return strcmp(shown, name) == 0;
}

// Whether the entry is a listed, running process of this name: its status file
// shows the name as the first word after "Name:", as the full scan reads it,
// a state other than ended, and its "Tgid:" is the entry itself. An entry that
// can be opened but is not listed (a thread's id) must not answer for the scan.
bool _is_listed_as(int procFd, const char* entry, const char* name, bool* pUnknown)
{
    char status[DVR_PROC_STATUS_HEAD_SIZE];
    if (!_read_entry_file(procFd, entry, "status", status, sizeof(status), pUnknown))
        return false;
    const char* pTgid = strstr(status, "\nTgid:");
    if (!pTgid)
        return false;
    const char* pState = strstr(status, "\nState:");
    if (pState && _is_ended_state(pState + strlen("\nState:")))
        return false;
    // The second word of the first line, as the scan reads it. Not with
    // sscanf: that would link its number parsers into the programs.
    static const char BLANKS[] = " \t\n\v\f\r";
    status[strcspn(status, "\n")] = '\0';
    const char* pWord = status + strspn(status, BLANKS);
    pWord += strcspn(pWord, BLANKS);
    pWord += strspn(pWord, BLANKS);
    const size_t wordLen = strcspn(pWord, BLANKS);
    if (wordLen == 0 || wordLen != strlen(name) || strncmp(pWord, name, wordLen) != 0)
        return false;
    pTgid += strlen("\nTgid:");
    pTgid += strspn(pTgid, " \t");
    size_t len = strlen(entry);
    return strncmp(pTgid, entry, len) == 0 && pTgid[len] == '\n';
}

// An entry name as the hint may hold it: a process id in plain decimal.
bool _is_pid_text(const char* text)
{
    size_t len = strspn(text, "0123456789");
    return len > 0 && len < DVR_PROC_ENTRY_SIZE && text[len] == '\0' && text[0] != '0';
}

// The process id the hint file names, into entry; false for anything but a
// regular file holding one id and a line feed. Never follows a link, never
// waits on a pipe, reads a few bytes only: whoever wrote it, the caller checks
// the process itself before it believes it.
bool _read_hint(const char* hintPath, char* entry)
{
    int fd = open(hintPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read_some(fd, entry, DVR_PROC_ENTRY_SIZE);
    close(fd);
    if (n < 2 || n >= DVR_PROC_ENTRY_SIZE || entry[n - 1] != '\n')
        return false;
    entry[n - 1] = '\0';
    return _is_pid_text(entry);
}

// Writes the hint in place, into a file of this user's own: no second name
// ever exists, so no moment at which the web server ends the run can leave one
// behind. Only a regular file that this user owns and that has no other name is
// written (a link or anything else planted there leads nowhere). A reader that
// meets a half-written hint finds no id in it and walks; the id it finds is
// always checked, so the hint can never make a wrong answer. A failure leaves
// things as they were: the next check walks again.
void _write_hint(const char* hintPath, const char* entry)
{
    // A hint this run creates and then cannot write is removed again: an empty
    // file would be left for good.
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    bool bCreated = true;
    int fd = open(hintPath, flags | O_CREAT | O_EXCL, DVR_PROC_HINT_MODE);
    if (fd < 0 && errno == EEXIST) {
        bCreated = false;
        fd = open(hintPath, flags);
    }
    if (fd < 0)
        return;
    struct stat st;
    char text[DVR_PROC_ENTRY_SIZE + 1];
    int n = snprintf(text, sizeof(text), "%s\n", entry);
    ssize_t written = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1 && n > 0) {
        do {
            written = pwrite(fd, text, static_cast<size_t>(n), 0);
        } while (written < 0 && errno == EINTR);
    }
    if (written == n) {
        int ignored = ftruncate(fd, n);
        (void)ignored;
    } else if (bCreated) {
        unlink(hintPath);
    }
    close(fd);
}

} // namespace

bool _is_process_exist_in(const char* procRoot, const char* name, const char* hintPath)
{
    // The process found last time is asked first: the send step asks again
    // right after the first check, and one read then answers it. Before the
    // walk, the process that the hint file names: a walk costs a read for
    // every process listed ahead of the backend, a few hundred on a NAS.
    static char s_chRoot[DVR_PATH_BUF_SIZE];
    static char s_chName[DVR_PATH_BUF_SIZE];
    static char s_chEntry[DVR_PROC_ENTRY_SIZE];
    // A lookup that could not look answers "running": the caller then asks
    // the backend itself, and every exchange notices one that is not there.
    // Saying "not running" would answer for a backend that may well run.
    bool bUnknown = false;
    int procFd = open(procRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        return !_is_gone_errno(errno);
    if (s_chEntry[0] != '\0' && strcmp(s_chRoot, procRoot) == 0 && strcmp(s_chName, name) == 0
        && _is_listed_as(procFd, s_chEntry, name, &bUnknown)) {
        close(procFd);
        return true;
    }
    s_chEntry[0] = '\0';
    const bool bRemember = strlen(procRoot) < sizeof(s_chRoot) && strlen(name) < sizeof(s_chName);
    char hinted[DVR_PROC_ENTRY_SIZE] = "";
    if (hintPath && _read_hint(hintPath, hinted) && _is_listed_as(procFd, hinted, name, &bUnknown)) {
        if (bRemember) {
            strcpy(s_chEntry, hinted);
            strcpy(s_chRoot, procRoot);
            strcpy(s_chName, name);
        }
        close(procFd);
        return true;
    }
    DIR* pDir = fdopendir(procFd);
    if (!pDir) {
        close(procFd);
        return true;
    }
    // Existence needs one process only: the scan ends at the first. The short
    // comm file rules out every other process; the status file of one that
    // matches then says whether it still runs.
    bool bFound = false;
    struct dirent* pEntry;
    errno = 0;
    while (!bFound && (pEntry = readdir(pDir)) != nullptr) {
        if (pEntry->d_name[0] < '0' || pEntry->d_name[0] > '9')
            continue;
        bFound = _comm_word_is(procFd, pEntry->d_name, name, &bUnknown)
            && _is_listed_as(procFd, pEntry->d_name, name, &bUnknown);
        if (bFound && _is_pid_text(pEntry->d_name)) {
            if (bRemember) {
                strcpy(s_chEntry, pEntry->d_name);
                strcpy(s_chRoot, procRoot);
                strcpy(s_chName, name);
            }
            if (hintPath && strcmp(hinted, pEntry->d_name) != 0)
                _write_hint(hintPath, pEntry->d_name);
        }
        errno = 0;
    }
    // readdir ends with errno unchanged at the end of the list, set on a failure.
    bUnknown = bUnknown || (!bFound && errno != 0);
    closedir(pDir);
    // Process 1 is taken to be init when no process of that name is listed.
    return bFound || bUnknown || strcmp(name, "init") == 0;
}

bool is_process_exist(const char* name)
{
    static char s_chHint[DVR_PATH_BUF_SIZE];
    if (s_chHint[0] == '\0')
        snprintf(s_chHint, sizeof(s_chHint), "%s.%u", DVR_PROC_HINT_FILE, static_cast<unsigned>(geteuid()));
    return _is_process_exist_in(DVR_PROC_ROOT, name, s_chHint);
}
