// The two request models: how REQUEST_METHOD, CONTENT_LENGTH, QUERY_STRING and
// standard input turn into the named parameters of CTunerBay and CEpg.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "child_run.h"
#include "epg.h"
#include "tunerbay.h"

namespace {

// One CGI request as the web server would present it. Null means the
// variable is not set. The body, when given, is what standard input holds.
struct Request {
    const char* method;
    const char* query;
    const char* contentLength;
    const char* body;
};

const char* const REQUEST_VARS[] = { "REQUEST_METHOD", "QUERY_STRING", "CONTENT_LENGTH" };

void setOrUnset(const char* name, const char* value)
{
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

// Saves the request variables and standard input, and puts them back after
// each test, so cases cannot leak into each other or into other suites.
class RequestModel : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : REQUEST_VARS) {
            const char* v = getenv(name);
            m_saved.push_back(
                v ? std::make_pair(true, std::string(v)) : std::make_pair(false, std::string()));
        }
        m_savedStdin = dup(0);
    }
    void TearDown() override
    {
        for (size_t i = 0; i < m_saved.size(); ++i)
            setOrUnset(REQUEST_VARS[i], m_saved[i].first ? m_saved[i].second.c_str() : nullptr);
        dup2(m_savedStdin, 0);
        close(m_savedStdin);
    }

    // Puts the request into the environment and standard input: a pipe holding
    // the body with its write end closed, or /dev/null.
    static void present(const Request& req)
    {
        setOrUnset("REQUEST_METHOD", req.method);
        setOrUnset("QUERY_STRING", req.query);
        setOrUnset("CONTENT_LENGTH", req.contentLength);
        int fd;
        if (req.body) {
            int p[2];
            ASSERT_EQ(0, pipe(p));
            size_t len = strlen(req.body);
            ASSERT_LT(len, 60000u);
            ASSERT_EQ(static_cast<ssize_t>(len), write(p[1], req.body, len));
            close(p[1]);
            fd = p[0];
        } else {
            fd = open("/dev/null", O_RDONLY);
        }
        dup2(fd, 0);
        close(fd);
    }

private:
    std::vector<std::pair<bool, std::string>> m_saved;
    int m_savedStdin = -1;
};

void appendIfSet(std::string& out, const char* key, const std::string& value)
{
    if (value.empty())
        return;
    if (!out.empty())
        out += ' ';
    out += key;
    out += '[';
    out += value;
    out += ']';
}

// Every parameter member of the object that is not empty, as key[value] in the
// object's key order, then the wishes that hold.
std::string describe(CTunerBay& tb)
{
    std::string s;
    appendIfSet(s, "subfunc", tb.getSubFunc());
    appendIfSet(s, "todo", tb.getToDo());
    appendIfSet(s, "sid", tb.getSid());
    appendIfSet(s, "index", tb.getAdapterIndex());
    appendIfSet(s, "up", tb.getUp());
    appendIfSet(s, "down", tb.getDown());
    appendIfSet(s, "idlescan", tb.getIdleScan());
    appendIfSet(s, "id", tb.getId());
    appendIfSet(s, "entries", tb.getEntries());
    appendIfSet(s, "fr", tb.getFr());
    appendIfSet(s, "bw", tb.getBw());
    appendIfSet(s, "cs", tb.getCs());
    appendIfSet(s, "tm", tb.getTm());
    appendIfSet(s, "gi", tb.getGi());
    appendIfSet(s, "hi", tb.getHi());
    appendIfSet(s, "fh", tb.getFh());
    appendIfSet(s, "fl", tb.getFl());
    appendIfSet(s, "enable_dvr", tb.getEnableDvr());
    appendIfSet(s, "jsonForm", tb.getJsonForm());
    if (tb.isWantToEnableIdleScan())
        s += " +idlescan";
    if (tb.isWantToEnableDvr())
        s += " +dvr";
    return s;
}

std::string describe(CEpg& epg)
{
    std::string s;
    appendIfSet(s, "subfunc", epg.getSubFunc());
    appendIfSet(s, "todo", epg.getToDo());
    appendIfSet(s, "sid", epg.getSessionId() ? epg.getSessionId() : "");
    appendIfSet(s, "up", epg.getUp());
    appendIfSet(s, "down", epg.getDown());
    appendIfSet(s, "title", epg.getTitle());
    appendIfSet(s, "channel", epg.getChannel());
    appendIfSet(s, "entries", epg.getEntries());
    appendIfSet(s, "jsonForm", epg.getJsonForm());
    return s;
}

struct ModelCase {
    const char* label;
    Request req;
    const char* expected; // describe() of the built object
};

// Method and body handling, the same for both programs.
const ModelCase METHOD_CASES[] = {
    { "GET", { "GET", "subfunc=info&todo=list", nullptr, nullptr }, "subfunc[info] todo[list]" },
    { "GET ignores CONTENT_LENGTH and body", { "GET", "subfunc=info&todo=list", "16", "subfunc=x&todo=y" },
        "subfunc[info] todo[list]" },
    { "POST body longer than query: body pairs unused",
        { "POST", "subfunc=info&todo=list", "40", "subfunc=evil&todo=evil&sid=evil&up=evil" },
        "subfunc[info] todo[list]" },
    { "POST body shorter than query", { "POST", "subfunc=info&todo=list", "3", "a=b" },
        "subfunc[info] todo[list]" },
    { "POST length larger than the body that came", { "POST", "subfunc=info&todo=list", "500", "up=1" },
        "subfunc[info] todo[list]" },
    { "POST positive length, empty stdin", { "POST", "subfunc=info&todo=list", "10", nullptr },
        "subfunc[info] todo[list]" },
    { "POST length with leading digits only", { "POST", "subfunc=info", "12abc", "subfunc=info" },
        "subfunc[info]" },
    { "POST length just beyond int", { "POST", "subfunc=info", "2147483648", "x" }, "subfunc[info]" },
    { "POST length far beyond int", { "POST", "subfunc=info", "99999999999999999999", "x" },
        "subfunc[info]" },
    { "POST length wrapping to zero as int", { "POST", "subfunc=info", "4294967296", "x" }, "subfunc[info]" },
    { "POST length negative beyond int", { "POST", "subfunc=info", "-2147483649", "x" }, "" },
    { "POST length 0", { "POST", "subfunc=info&todo=list", "0", "" }, "" },
    { "POST length absent", { "POST", "subfunc=info&todo=list", nullptr, "subfunc=x" }, "" },
    { "POST length negative", { "POST", "subfunc=info&todo=list", "-5", "subfunc=x" }, "" },
    { "POST length not a number", { "POST", "subfunc=info&todo=list", "abc", "subfunc=x" }, "" },
    { "POST length empty text", { "POST", "subfunc=info&todo=list", "", "subfunc=x" }, "" },
    { "method missing", { nullptr, "subfunc=info&todo=list", "5", "x=1" }, "" },
    { "method lower case", { "get", "subfunc=info&todo=list", nullptr, nullptr }, "" },
    { "method with suffix", { "GETX", "subfunc=info&todo=list", nullptr, nullptr }, "" },
    { "method prefix", { "POS", "subfunc=info&todo=list", "5", "x=1" }, "" },
    { "method PUT", { "PUT", "subfunc=info&todo=list", "5", "x=1" }, "" },
    { "method HEAD", { "HEAD", "subfunc=info&todo=list", nullptr, nullptr }, "" },
    { "method empty", { "", "subfunc=info&todo=list", nullptr, nullptr }, "" },
    { "GET query missing", { "GET", nullptr, nullptr, nullptr }, "" },
    { "POST query missing", { "POST", nullptr, "8", "subfunc=" }, "" },
    { "GET query empty", { "GET", "", nullptr, nullptr }, "" },
};

// The split of the text into parameters, with the adapter keys.
const ModelCase TUNERBAY_CASES[] = {
    { "all adapter options",
        { "GET", "subfunc=option&todo=update&index=2&enable_dvr=1&idlescan=1", nullptr, nullptr },
        "subfunc[option] todo[update] index[2] idlescan[1] enable_dvr[1] +idlescan +dvr" },
    { "the same as POST",
        { "POST", "subfunc=option&todo=update&index=2&enable_dvr=1&idlescan=1", "60",
            "subfunc=scan&todo=start&index=9&enable_dvr=0&idlescan=0&zzzzzzzz" },
        "subfunc[option] todo[update] index[2] idlescan[1] enable_dvr[1] +idlescan +dvr" },
    { "every key",
        { "GET",
            "subfunc=s&todo=t&sid=S&index=3&up=u&down=d&idlescan=0&id=7&entries=1,2&fr=474000000&bw=8MHz"
            "&cs=QAM64&tm=8k&gi=1/8&hi=NONE&fh=2/3&fl=AUTO&enable_dvr=0",
            nullptr, nullptr },
        "subfunc[s] todo[t] sid[S] index[3] up[u] down[d] idlescan[0] id[7] entries[1,2] fr[474000000] "
        "bw[8MHz] cs[QAM64] tm[8k] gi[1/8] hi[NONE] fh[2/3] fl[AUTO] enable_dvr[0]" },
    { "empty value keeps earlier", { "GET", "subfunc=info&subfunc=&todo=list", nullptr, nullptr },
        "subfunc[info] todo[list]" },
    { "later value wins", { "GET", "subfunc=info&subfunc=region", nullptr, nullptr }, "subfunc[region]" },
    { "doubled, leading and trailing &", { "GET", "&&subfunc=info&&todo=list&", nullptr, nullptr },
        "subfunc[info] todo[list]" },
    { "only separators", { "GET", "&&&", nullptr, nullptr }, "" },
    { "value keeps further =", { "GET", "entries=a=b", nullptr, nullptr }, "entries[a=b]" },
    { "value only =", { "GET", "entries==", nullptr, nullptr }, "entries[=]" },
    { "token without =", { "GET", "subfunc", nullptr, nullptr }, "" },
    { "token without = beside others", { "GET", "subfunc&todo=list&index", nullptr, nullptr }, "todo[list]" },
    { "empty key", { "GET", "=info&todo=list", nullptr, nullptr }, "todo[list]" },
    { "key upper case", { "GET", "SUBFUNC=info", nullptr, nullptr }, "" },
    { "key prefix and suffix", { "GET", "sub=1&subfuncs=2&Subfunc=3&ids=4", nullptr, nullptr }, "" },
    { "id and idlescan apart", { "GET", "idlescan=1&id=5", nullptr, nullptr },
        "idlescan[1] id[5] +idlescan" },
    { "percent escape stays", { "GET", "index=%31", nullptr, nullptr }, "index[%31]" },
    { "plus stays", { "GET", "entries=a+b%2Cc", nullptr, nullptr }, "entries[a+b%2Cc]" },
    { "idlescan 1 with blank", { "GET", "idlescan=1 ", nullptr, nullptr }, "idlescan[1 ]" },
    { "idlescan true", { "GET", "idlescan=true", nullptr, nullptr }, "idlescan[true]" },
    { "idlescan 01", { "GET", "idlescan=01&enable_dvr=yes", nullptr, nullptr },
        "idlescan[01] enable_dvr[yes]" },
    { "enable_dvr 1 then empty", { "GET", "enable_dvr=1&enable_dvr=", nullptr, nullptr },
        "enable_dvr[1] +dvr" },
    { "blank in key", { "GET", "todo =x& todo=y", nullptr, nullptr }, "" },
    { "line break in value", { "GET", "todo=a\nb", nullptr, nullptr }, "todo[a\nb]" },
};

// The split with the guide keys, and the session id.
const ModelCase EPG_CASES[] = {
    { "info list", { "GET", "subfunc=info&todo=list", nullptr, nullptr }, "subfunc[info] todo[list]" },
    { "every key",
        { "GET", "subfunc=record&todo=add&sid=abc123&up=1&down=2&title=News&channel=5&entries=9,8", nullptr,
            nullptr },
        "subfunc[record] todo[add] sid[abc123] up[1] down[2] title[News] channel[5] entries[9,8]" },
    { "later todo wins", { "GET", "todo=list&todo=add", nullptr, nullptr }, "todo[add]" },
    { "empty todo keeps earlier", { "GET", "todo=add&todo=", nullptr, nullptr }, "todo[add]" },
    { "empty tokens skipped", { "GET", "&&subfunc=info&", nullptr, nullptr }, "subfunc[info]" },
    { "title keeps further =", { "GET", "title=a=b", nullptr, nullptr }, "title[a=b]" },
    { "key capitalised", { "GET", "Subfunc=info", nullptr, nullptr }, "" },
    { "sid without =", { "GET", "sid&todo=list", nullptr, nullptr }, "todo[list]" },
    { "sid empty", { "GET", "sid=", nullptr, nullptr }, "" },
    { "sid then empty sid", { "GET", "sid=a1&sid=", nullptr, nullptr }, "sid[a1]" },
    { "sid undecoded", { "GET", "sid=a%26b+c", nullptr, nullptr }, "sid[a%26b+c]" },
    { "adapter keys unknown here", { "GET", "index=1&idlescan=1&enable_dvr=1&fr=1", nullptr, nullptr }, "" },
    { "POST query wins over body",
        { "POST", "subfunc=info&todo=list", "30", "subfunc=smart&todo=add&sid=zz" },
        "subfunc[info] todo[list]" },
    { "POST body shorter than query", { "POST", "subfunc=info&todo=list", "1", "x" },
        "subfunc[info] todo[list]" },
    { "POST length 0", { "POST", "subfunc=info&todo=list&sid=a", "0", "" }, "" },
    { "POST length negative", { "POST", "subfunc=info&todo=list&sid=a", "-1", "x" }, "" },
};

} // namespace

TEST_F(RequestModel, TunerBayMethodsAndBodies)
{
    for (const ModelCase& c : METHOD_CASES) {
        SCOPED_TRACE(c.label);
        present(c.req);
        CTunerBay tb;
        EXPECT_EQ(c.expected, describe(tb));
    }
}

TEST_F(RequestModel, EpgMethodsAndBodies)
{
    for (const ModelCase& c : METHOD_CASES) {
        SCOPED_TRACE(c.label);
        present(c.req);
        CEpg epg;
        EXPECT_EQ(c.expected, describe(epg));
    }
}

TEST_F(RequestModel, TunerBayParameterSplit)
{
    for (const ModelCase& c : TUNERBAY_CASES) {
        SCOPED_TRACE(c.label);
        present(c.req);
        CTunerBay tb;
        EXPECT_EQ(c.expected, describe(tb));
    }
}

TEST_F(RequestModel, EpgParameterSplit)
{
    for (const ModelCase& c : EPG_CASES) {
        SCOPED_TRACE(c.label);
        present(c.req);
        CEpg epg;
        EXPECT_EQ(c.expected, describe(epg));
    }
}

TEST_F(RequestModel, AdapterIndexAndWishesDefaults)
{
    present({ "GET", "subfunc=adapter&todo=list", nullptr, nullptr });
    CTunerBay tb;
    ASSERT_NE(nullptr, tb.getAdapterIndex());
    EXPECT_STREQ("", tb.getAdapterIndex());
    EXPECT_FALSE(tb.isWantToEnableIdleScan());
    EXPECT_FALSE(tb.isWantToEnableDvr());
    EXPECT_FALSE(tb.isTransferSuccess());
}

TEST_F(RequestModel, SessionIdNullOrText)
{
    present({ "GET", "subfunc=info&todo=list", nullptr, nullptr });
    {
        CEpg epg;
        EXPECT_EQ(nullptr, epg.getSessionId());
    }
    present({ "GET", "sid=&sid", nullptr, nullptr });
    {
        CEpg epg;
        EXPECT_EQ(nullptr, epg.getSessionId());
    }
    present({ "GET", "sid=Zq9%2F&todo=list", nullptr, nullptr });
    {
        CEpg epg;
        ASSERT_NE(nullptr, epg.getSessionId());
        EXPECT_STREQ("Zq9%2F", epg.getSessionId());
    }
}

TEST_F(RequestModel, QueryStringIsNotTouchedBySplit)
{
    const char* query = "&&subfunc=info&todo=list&sid=a=b&&";
    present({ "GET", query, nullptr, nullptr });
    {
        CTunerBay tb;
        EXPECT_STREQ(query, getenv("QUERY_STRING"));
        ASSERT_NE(nullptr, tb.getQueryString());
        EXPECT_STREQ(query, tb.getQueryString());
    }
    present({ "POST", query, "4", "abcd" });
    {
        CEpg epg;
        EXPECT_STREQ(query, getenv("QUERY_STRING"));
        ASSERT_NE(nullptr, epg.getQueryString());
        EXPECT_STREQ(query, epg.getQueryString());
    }
}

TEST_F(RequestModel, MissingQueryStringReadsAsEmptyText)
{
    present({ "GET", nullptr, nullptr, nullptr });
    CTunerBay tb;
    ASSERT_NE(nullptr, tb.getQueryString());
    EXPECT_STREQ("", tb.getQueryString());
    CEpg epg;
    ASSERT_NE(nullptr, epg.getQueryString());
    EXPECT_STREQ("", epg.getQueryString());
}

TEST_F(RequestModel, TransferFlagFollowsJsonToXml)
{
    present({ "GET", "subfunc=info", nullptr, nullptr });
    CTunerBay tb;
    EXPECT_FALSE(tb.isTransferSuccess());
    EXPECT_TRUE(tb.json_to_xml("{\"a\": 1}"));
    EXPECT_TRUE(tb.isTransferSuccess());
    EXPECT_STREQ("{\"a\": 1}", tb.getXmlDoc());
    CEpg epg;
    EXPECT_FALSE(epg.isTransferSuccess());
    EXPECT_TRUE(epg.json_to_xml(""));
    EXPECT_TRUE(epg.isTransferSuccess());
    EXPECT_EQ(0, epg.getXmlDocSize());
}

TEST_F(RequestModel, LongQueryStringIsSplitWhole)
{
    // 64 KiB of entries between two ordinary keys: nothing is cut.
    std::string entries(64 * 1024, '7');
    for (size_t i = 5; i < entries.size(); i += 6)
        entries[i] = ',';
    std::string query = "subfunc=scan&entries=" + entries + "&todo=start";
    present({ "GET", query.c_str(), nullptr, nullptr });
    {
        CTunerBay tb;
        EXPECT_EQ("scan", tb.getSubFunc());
        EXPECT_EQ(entries, tb.getEntries());
        EXPECT_EQ("start", tb.getToDo());
    }
    present({ "POST", query.c_str(), "10", "0123456789" });
    {
        CEpg epg;
        EXPECT_EQ("scan", epg.getSubFunc());
        EXPECT_EQ(entries, epg.getEntries());
        EXPECT_EQ("start", epg.getToDo());
    }
}

TEST_F(RequestModel, BodyIsConsumedWithOneBoundedRead)
{
    // A long body stays mostly unread: never more than one bounded read.
    std::string body(20000, 'b');
    present({ "POST", "subfunc=info", "20000", body.c_str() });
    CTunerBay tb;
    EXPECT_EQ("info", tb.getSubFunc());
    std::string rest;
    char buf[4096];
    ssize_t n;
    while ((n = read(0, buf, sizeof buf)) > 0)
        rest.append(buf, static_cast<size_t>(n));
    EXPECT_GE(rest.size(), body.size() - CGI_BODY_DRAIN_SIZE);
    EXPECT_LE(rest.size(), body.size());
}

TEST_F(RequestModel, HugeContentLengthWithShortBody)
{
#ifdef DVR_UNDER_EMULATOR
    GTEST_SKIP() << "qemu-user cannot run under an address-space limit";
#endif
    // The client's number must not size anything: under an address-space limit
    // far below two gigabytes the request is still read from QUERY_STRING.
    // Exit codes: 0 fine, 1 tunerbay lost its parameters, 2 epg did, 3 the limit
    // did not take.
    ChildOptions opt;
    opt.feedStdin = true;
    opt.stdinText = "subfunc=evil";
    ChildResult r = run_in_child(
        []() {
            setenv("REQUEST_METHOD", "POST", 1);
            setenv("QUERY_STRING", "subfunc=info&todo=list", 1);
            setenv("CONTENT_LENGTH", "2000000000", 1);
#ifndef __SANITIZE_ADDRESS__
            // The sanitizer's shadow memory needs the whole address space.
            struct rlimit lim;
            FILE* f = fopen("/proc/self/statm", "r");
            unsigned long pages = 0;
            if (f) {
                if (fscanf(f, "%lu", &pages) != 1)
                    pages = 0;
                fclose(f);
            }
            lim.rlim_cur = lim.rlim_max = pages * static_cast<unsigned long>(getpagesize()) + (256ul << 20);
            setrlimit(RLIMIT_AS, &lim);
            void* probe = malloc(1ul << 30);
            if (probe) {
                free(probe);
                return 3;
            }
#endif
            {
                CTunerBay tb;
                if (tb.getSubFunc() != "info" || tb.getToDo() != "list")
                    return 1;
            }
            {
                CEpg epg;
                if (epg.getSubFunc() != "info" || epg.getToDo() != "list")
                    return 2;
            }
            return 0;
        },
        opt);
    ASSERT_TRUE(r.exited()) << "killed by signal " << r.termSignal();
    EXPECT_EQ(0, r.exitCode());
}

TEST(RequestSplit, SharedSplitOverABuffer)
{
    std::string a, b;
    const SRequestParam table[] = { { "alpha", &a }, { "beta", &b } };
    struct {
        const char* label;
        const char* text;
        const char* a;
        const char* b;
    } cases[] = {
        { "both", "alpha=1&beta=2", "1", "2" },
        { "unknown keys ignored", "gamma=3&alpha=1&delta", "1", "" },
        { "empty value keeps", "alpha=1&alpha=&beta=&beta=x", "1", "x" },
        { "separators only", "&&&&", "", "" },
        { "empty text", "", "", "" },
        { "cut after key", "alpha", "", "" },
        { "cut after =", "alpha=", "", "" },
        { "cut after &", "alpha=1&", "1", "" },
        { "cut inside key", "alpha=1&be", "1", "" },
        { "equals in value", "beta==x=", "", "=x=" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        a.clear();
        b.clear();
        std::string buf(c.text);
        buf.push_back('\0');
        split_request_params(&buf[0], table, 2, "[test]");
        EXPECT_EQ(c.a, a);
        EXPECT_EQ(c.b, b);
    }
}
