// Fuzzes the one parameter split shared by both request models.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <string>

#include "cgiprocessor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char* buf = static_cast<char*>(malloc(size + 2));
    if (!buf)
        return 0;
    memcpy(buf, data, size);
    buf[size] = '\0';
    buf[size + 1] = '\0';
    std::string subfunc, todo, sid, entries;
    const SRequestParam table[] = {
        { "subfunc", &subfunc },
        { "todo", &todo },
        { "sid", &sid },
        { "entries", &entries },
    };
    split_request_params(buf, table, sizeof(table) / sizeof(table[0]), "[fuzz]");
    // A stored value never holds the separator it was cut at.
    if (subfunc.find('&') != std::string::npos || todo.find('&') != std::string::npos)
        abort();
    free(buf);
    return 0;
}
