// The pieces of the session check that work over buffers: taking the user
// name out of the login service's answer and composing the login form.
#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <unistd.h>

#include "child_run.h"
#include "platform.h"
#include "session.h"

TEST(SessionXmlValue, TableOfAnswers)
{
    const std::string name127(127, 'n');
    const std::string name128(128, 'n');
    const std::string fits127 = "<username><![CDATA[" + name127 + "]]></username>";
    const std::string long128 = "<username><![CDATA[" + name128 + "]]></username>";
    struct {
        const char* label;
        const char* str;
        size_t retSize;
        int rc;
        const char* value; // expected when rc is 0
    } cases[] = {
        { "name as CDATA",
            "<reply version=\"1.0\"><passed><![CDATA[1]]></passed>"
            "<username><![CDATA[admin]]></username></reply>",
            128, 0, "admin" },
        { "first occurrence wins", "<username><![CDATA[one]]></username><username><![CDATA[two]]></username>",
            128, 0, "one" },
        { "never the CDATA of a later element", "<username>plain</username><groupname><![CDATA[staff]]>", 128,
            1, nullptr },
        { "never the CDATA after an empty element",
            "<username></username><authPassed><![CDATA[0]]></authPassed>", 128, 1, nullptr },
        { "blanks around the section", "<username>\n  <![CDATA[ann]]>\t</username>", 128, 0, "ann" },
        { "brackets inside value", "<username><![CDATA[a]b]]c]]></username>", 128, 0, "a]b]]c" },
        { "empty value is no name", "<username><![CDATA[]]></username>", 128, 1, nullptr },
        { "end tag needed", "<username><![CDATA[bob]]>", 128, 1, nullptr },
        { "another end tag", "<username><![CDATA[bob]]></user>", 128, 1, nullptr },
        { "key missing", "<passed><![CDATA[0]]></passed>", 128, 1, nullptr },
        { "key cut", "<userna", 128, 1, nullptr },
        { "empty answer", "", 128, 1, nullptr },
        { "CDATA only before key", "<![CDATA[early]]><username>late</username>", 128, 1, nullptr },
        { "key at the very end", "<x/><username>", 128, 1, nullptr },
        { "cut inside the opener", "<username><![CDA", 128, 1, nullptr },
        { "opener without value or closer", "<username><![CDATA[", 128, 1, nullptr },
        { "no closer", "<username><![CDATA[admin", 128, 1, nullptr },
        { "closer cut to ]]", "<username><![CDATA[admin]]", 128, 1, nullptr },
        { "closer cut to ]", "<username><![CDATA[admin]", 128, 1, nullptr },
        { "closer cut to ]>", "<username><![CDATA[admin]>", 128, 1, nullptr },
        { "127 characters fit 128 bytes", fits127.c_str(), NAS_USERNAME_SIZE, 0, name127.c_str() },
        { "128 characters refused", long128.c_str(), NAS_USERNAME_SIZE, 1, nullptr },
        { "exactly fits a small buffer", "<username><![CDATA[abcd]]></username>", 5, 0, "abcd" },
        { "one too long for a small buffer", "<username><![CDATA[abcde]]></username>", 5, 1, nullptr },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        // The caller's buffer is zero-filled; a guard byte behind it must stay.
        char ret[NAS_USERNAME_SIZE + 1];
        memset(ret, 0, sizeof ret);
        ret[c.retSize] = '#';
        int rc = get_Ovra_xml_value(c.str, "<username>", ret, c.retSize);
        EXPECT_EQ(c.rc, rc);
        EXPECT_EQ('#', ret[c.retSize]);
        if (c.rc == 0) {
            EXPECT_STREQ(c.value, ret);
        } else {
            // Refused, never cut: the buffer stays as the caller left it.
            EXPECT_EQ(std::string(c.retSize, '\0'), std::string(ret, c.retSize));
        }
    }
}

// The whole answer: a name, and no authPassed element that says otherwise.
TEST(SessionXmlValue, LoginAnswerFailsClosed)
{
    const char* name = "<username><![CDATA[admin]]></username>";
    struct {
        const char* label;
        std::string answer;
        int rc;
    } cases[] = {
        { "passed and named", std::string("<authPassed><![CDATA[1]]></authPassed>") + name, 0 },
        { "named, no authPassed", name, 0 },
        { "passed as plain text", std::string(name) + "<authPassed> 1 </authPassed>", 0 },
        { "refused although named", std::string("<authPassed><![CDATA[0]]></authPassed>") + name, 1 },
        { "refused after the name", std::string(name) + "<authPassed>0</authPassed>", 1 },
        { "empty authPassed", std::string(name) + "<authPassed/>", 1 },
        { "authPassed with an attribute", std::string(name) + "<authPassed a=\"1\">1</authPassed>", 1 },
        { "authPassed 11", std::string(name) + "<authPassed>11</authPassed>", 1 },
        { "a lookalike first, then the refusal",
            std::string("<authPassedX>1</authPassedX>") + name + "<authPassed>0</authPassed>", 1 },
        { "passed, then refused",
            std::string("<authPassed>1</authPassed>") + name + "<authPassed>0</authPassed>", 1 },
        { "passed, empty name", "<authPassed><![CDATA[1]]></authPassed><username><![CDATA[]]></username>",
            1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        char user[NAS_USERNAME_SIZE];
        memset(user, 0, sizeof user);
        EXPECT_EQ(c.rc, _check_login_answer(c.answer.c_str(), user));
        EXPECT_STREQ(c.rc == 0 ? "admin" : "", user);
    }
}

TEST(SessionLoginForm, EncodingAndLimits)
{
    const std::string longSid(5000, 'a');
    const std::string dollars(80, '$'); // 240 bytes once encoded
    const std::string fits(239 - 17, 'f'); // form and "\n" are 239 characters, 240 with NUL
    struct {
        const char* label;
        const char* sid;
        const char* ending;
        size_t bufSize;
        bool ok;
        std::string form;
    } cases[] = {
        { "plain id with line feed", "0a1b2c3d4e5f", "\n", NAS_LOGIN_BODY_SIZE, true,
            "sid=0a1b2c3d4e5f&service=100\n" },
        { "empty ending", "x", "", NAS_LOGIN_BODY_SIZE, true, "sid=x&service=100" },
        { "unreserved kept", "AZaz09-._~", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=AZaz09-._~&service=100\n" },
        { "command substitution", "$(touch /tmp/x)", "\n", NAS_LOGIN_BODY_SIZE, true,
            "sid=%24%28touch%20%2Ftmp%2Fx%29&service=100\n" },
        { "back-quotes", "`id`", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=%60id%60&service=100\n" },
        { "semicolon", "a;b", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=a%3Bb&service=100\n" },
        { "double quote", "a\"b", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=a%22b&service=100\n" },
        { "single quote", "a'b", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=a%27b&service=100\n" },
        { "blank", "a b", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=a%20b&service=100\n" },
        { "line break", "a\r\nb", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=a%0D%0Ab&service=100\n" },
        { "second field smuggled", "&service=1", "\n", NAS_LOGIN_BODY_SIZE, true,
            "sid=%26service%3D1&service=100\n" },
        { "equals", "=", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=%3D&service=100\n" },
        { "lone percent", "%", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=%25&service=100\n" },
        { "percent without two hex digits", "%4g%A", "\n", NAS_LOGIN_BODY_SIZE, true,
            "sid=%254g%25A&service=100\n" },
        { "browser's escapes kept", "ab%2Bc%2f", "\n", NAS_LOGIN_BODY_SIZE, true,
            "sid=ab%2Bc%2f&service=100\n" },
        { "escaped ampersand stays one field", "%26service%3D1", "\n", NAS_LOGIN_BODY_SIZE, true,
            "sid=%26service%3D1&service=100\n" },
        { "plus kept, slash encoded", "+/", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=+%2F&service=100\n" },
        { "bytes above 127", "\xC3\xBC\xFF", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=%C3%BC%FF&service=100\n" },
        { "control byte", "\x01", "\n", NAS_LOGIN_BODY_SIZE, true, "sid=%01&service=100\n" },
        { "5000 bytes", longSid.c_str(), "\n", NAS_LOGIN_BODY_SIZE, false, "" },
        { "short raw, long encoded", dollars.c_str(), "\n", NAS_LOGIN_BODY_SIZE, false, "" },
        { "fits with its NUL", fits.c_str(), "\n", 240, true, "sid=" + fits + "&service=100\n" },
        { "one byte short", fits.c_str(), "\n", 239, false, "" },
        { "ending counts", "x", "\n", 19, true, "sid=x&service=100\n" },
        { "ending does not fit", "x", "\n", 18, false, "" },
        { "null id", nullptr, "\n", NAS_LOGIN_BODY_SIZE, false, "" },
        { "empty id", "", "\n", NAS_LOGIN_BODY_SIZE, false, "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        char buf[NAS_LOGIN_BODY_SIZE + 1];
        memset(buf, '#', sizeof buf);
        bool ok = _build_login_form(c.sid, c.ending, buf, c.bufSize);
        EXPECT_EQ(c.ok, ok);
        EXPECT_EQ('#', buf[c.bufSize]) << "wrote past the buffer";
        if (c.ok && ok) {
            EXPECT_EQ(c.form, std::string(buf));
        }
    }
}

TEST(SessionLoginForm, EndingIsOptional)
{
    // In a child: a null ending must not bring the process down.
    ChildResult r = run_in_child([]() {
        char buf[NAS_LOGIN_BODY_SIZE];
        if (!_build_login_form("0a1b2c", nullptr, buf, sizeof buf))
            return 1;
        ssize_t ignored = write(1, buf, strlen(buf));
        (void)ignored;
        return 0;
    });
    ASSERT_TRUE(r.exited()) << "killed by signal " << r.termSignal();
    EXPECT_EQ(0, r.exitCode());
    EXPECT_EQ("sid=0a1b2c&service=100", r.out);
}

TEST(SessionValidation, MissingOrHostileIdIsNeverConfirmed)
{
    // This machine has no NAS login service; whatever path the check takes it
    // must fail, leave the name buffer alone, and start nothing with the id.
    const char* marker = "/tmp/dvr_unit_sid_ran";
    unlink(marker);
    const char* sids[] = { nullptr, "", "$(touch /tmp/dvr_unit_sid_ran)", "`touch /tmp/dvr_unit_sid_ran`",
        "a;touch /tmp/dvr_unit_sid_ran", "a\"; touch /tmp/dvr_unit_sid_ran; \"" };
    for (const char* sid : sids) {
        SCOPED_TRACE(sid ? sid : "(null)");
        char username[NAS_USERNAME_SIZE];
        memset(username, 0, sizeof username);
        EXPECT_EQ(1, login_Ovra_with_sid(sid, username));
        EXPECT_EQ(std::string(sizeof username, '\0'), std::string(username, sizeof username));
    }
    EXPECT_NE(0, access(marker, F_OK));
    unlink(marker);
}
