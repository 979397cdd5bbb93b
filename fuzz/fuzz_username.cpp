// Fuzzes the user-name extraction and the session verdict from a login service
// answer, and the form text built from a session id.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char* answer = static_cast<char*>(malloc(size + 1));
    if (!answer)
        return 0;
    memcpy(answer, data, size);
    answer[size] = '\0';

    char username[NAS_USERNAME_SIZE];
    memset(username, 0, sizeof(username));
    if (get_Ovra_xml_value(answer, "<username>", username, sizeof(username)) == 0
        && !strstr(answer, username))
        __builtin_trap();
    // A confirmed session always has a name, never an answer that says otherwise.
    char confirmed[NAS_USERNAME_SIZE];
    memset(confirmed, 0, sizeof(confirmed));
    if (_check_login_answer(answer, confirmed) == 0
        && (confirmed[0] == '\0' || strstr(answer, "<authPassed><![CDATA[0]]>")))
        __builtin_trap();

    char form[NAS_LOGIN_BODY_SIZE];
    if (_build_login_form(answer, "\n", form, sizeof(form))) {
        // The session id can never add a field: exactly one '&' and two '='.
        int amps = 0, eqs = 0;
        for (const char* p = form; *p; p++) {
            amps += *p == '&';
            eqs += *p == '=';
        }
        if (amps != 1 || eqs != 2 || strlen(form) >= sizeof(form))
            __builtin_trap();
    }
    free(answer);
    return 0;
}
