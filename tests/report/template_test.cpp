// Report templates: the macro table with its escaping, the one-slot
// writer's handling of texts that are not macros, and pages written into a
// body's temp file or an open stream.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "config/icapd_config.h"
#include "report/template.h"
#include "request/request.h"
#include "support/log_capture.h"
#include "support/support.h"

namespace {

using tvx_test::read_file;
using tvx_test::temp_dir;
using tvx_test::write_file;

class Template : public ::testing::Test {
protected:
    void SetUp() override
    {
        icap_request_reset(g_request);
        g_config = icapd_config();
        g_config.Cache = "/var/tavex/cache/";
        g_config.Hostmaster = "admin@example.org";
    }
    void TearDown() override
    {
        icap_request_reset(g_request);
        g_config = icapd_config();
    }
    void set_url(const std::string &u) { snprintf(g_request.url, sizeof g_request.url, "%s", u.c_str()); }

    // What the request flow gathered: the daemon's release text, and
    // whether the daemon answered just before.
    std::string release;
    page_values values(bool daemon_answered = false) const { return page_values{release, daemon_answered}; }

    // Expands text as a page template; *rc receives the expander's result.
    std::string expand(const std::string &text, bool daemon_answered = false, int *rc = nullptr)
    {
        FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
        if (text.empty())
            in = fopen("/dev/null", "r");
        char *buf = nullptr;
        size_t len = 0;
        FILE *out = open_memstream(&buf, &len);
        int r = parse_template(in, out, values(daemon_answered), g_request);
        fclose(in);
        fclose(out);
        std::string s(buf, len);
        free(buf);
        if (rc)
            *rc = r;
        return s;
    }
};

TEST_F(Template, TextThatIsNoMacroIsCopiedUnchanged)
{
    std::string long_text = "$" + std::string(12000, 'a');
    const std::string cases[] = {
        "",
        "<html><body>plain page\r\nwith lines</body></html>\n",
        "a lone dollar at the end $",
        "two prices: $10 and $20, then $",
        "$UNKNOWN$ stays, $$ too, and $url_ x$",
        long_text,
        long_text + "$URL",
    };
    for (const std::string &t : cases)
        EXPECT_EQ(expand(t), t) << t.substr(0, 60);
}

TEST_F(Template, MacroTable)
{
    set_url("http://example.com/a?b=1&c=<script>\"x\"</script>");
    g_config.Hostmaster = "root&co@example.org";
    release = "tavexd 1.2 <beta>";
    const std::string esc_url = "http://example.com/a?b=1&amp;c=&lt;script&gt;&quot;x&quot;&lt;/script&gt;";
    struct { const char *tmpl; std::string want; } cases[] = {
        {"[$URL$]", "[" + esc_url + "]"},
        {"[$url$]", "[" + esc_url + "]"},
        {"[$Url_Short$]", "[" + esc_url + "]"},
        {"$VERSION$", "6.0.0.0"},
        {"$HOSTMASTER$", "root&amp;co@example.org"},
        {"$RELEASE$", "tavexd 1.2 &lt;beta&gt;"},
        {"$URL$$URL$", esc_url + esc_url},
        {"cost $5: $URL$", "cost $5: " + esc_url},
    };
    for (const auto &c : cases)
        EXPECT_EQ(expand(c.tmpl), c.want) << c.tmpl;

    release.clear();
    EXPECT_EQ(expand("$RELEASE$"), "unknown");
}

TEST_F(Template, ShortUrlKeepsSixtyCharacters)
{
    std::string sixty = "http://example.com/" + std::string(41, 'x');
    ASSERT_EQ(sixty.size(), 60u);
    set_url(sixty);
    EXPECT_EQ(expand("$URL_SHORT$"), sixty);
    set_url(sixty + "y");
    EXPECT_EQ(expand("$URL_SHORT$"), sixty.substr(0, 57) + "...");
    // Cut first, escaped afterwards: an escape is never split.
    set_url(std::string(56, 'a') + "&&&&&&&&");
    EXPECT_EQ(expand("$URL_SHORT$"), std::string(56, 'a') + "&amp;...");
}

TEST_F(Template, DaemonReport)
{
    // No report and no answer from the daemon: the communication error,
    // without DATA; an answer just before leaves an empty report empty.
    EXPECT_EQ(expand("[$DAEMON_REPORT$]"), "[ Communication error with Tavex (R) daemon]");
    g_request.greport.clear();
    EXPECT_EQ(expand("[$DAEMON_REPORT$]", true), "[]");

    // Report lines are shown from the end of the temp file's name on, escaped.
    g_request.greport = {"/var/tavex/cache/res-body4711-q3ZkP0 infected with EICAR-Test-File",
               "/var/tavex/cache/res-body4711-q3ZkP0/inner.zip/<evil>.exe infected with Troj&an",
               "DATA archive: ok"};
    EXPECT_EQ(expand("$DAEMON_REPORT$"), " infected with EICAR-Test-File\n"
                                         "/inner.zip/&lt;evil&gt;.exe infected with Troj&amp;an\n"
                                         " archive: ok");
}

TEST_F(Template, ManualSubmitForm)
{
    set_url("http://bad.example/x?a=\"1\"&b=2");
    g_request.viruses_list = {{"EICAR<1>", 0}, {"Troj\"an", 1}};
    std::string page = expand("<div>\n$MANUAL_SUBMIT$   Report a \"false\" alarm \r\n</form>\n</div>\n");
    EXPECT_EQ(page, "<div>\n"
                    "<form action=\"http://" REPORT_SUBMIT_HOST "/post_link/\" method=\"post\">\n"
                    "<input type=\"hidden\" name=\"u\" value=\"http://bad.example/x?a=&quot;1&quot;&amp;b=2\">\n"
                    "<input type=\"hidden\" name=\"vn\" value=\"EICAR&lt;1&gt;;Troj&quot;an\">\n"
                    "<input type=\"submit\" value=\"Report a &quot;false&quot; alarm\">\n"
                    "</input>\n"
                    "</form>\n</div>\n");

    // Threat URLs go to the agent instead: the label line goes, the form too.
    g_config.SendUrlsWithViruses = true;
    EXPECT_EQ(expand("a\n$MANUAL_SUBMIT$ label\nb"), "a\nb");
}

TEST_F(Template, DateIsLocalTime)
{
    std::string d = expand("$DATE$");
    EXPECT_FALSE(d.empty());
    EXPECT_EQ(d.find('$'), std::string::npos);
}

TEST_F(Template, FailedWriteIsReported)
{
    FILE *in = fmemopen(const_cast<char *>("page $URL$"), 10, "r");
    FILE *out = fopen("/dev/full", "w");
    ASSERT_TRUE(in && out);
    log_capture log(0xFF);
    EXPECT_EQ(parse_template(in, out, values(), g_request), 0);
    EXPECT_TRUE(log.has("writing to pipe: No space left on device\n"));
    fclose(in);
    fclose(out);
}

TEST_F(Template, PageIntoBodyFile)
{
    temp_dir dir;
    g_config.Templates = dir.path();
    write_file(dir / "ERR_TEST", "<p>$URL$</p>\n");
    set_url("http://example.com/<b>");

    icap_entity e;
    e.path = dir / "res-body1-abcdef";
    write_file(e.path, std::string(5000, 'B'), 0600);  // the old body, longer than the page
    e.fd = open(e.path.c_str(), O_RDWR);
    e.size = 5000;
    lseek(e.fd, 1234, SEEK_SET);

    ASSERT_EQ(make_report_page(g_request, e, "/ERR_TEST", nullptr, values()), 200);
    const std::string want = "<p>http://example.com/&lt;b&gt;</p>\n";
    EXPECT_EQ(read_file(e.path), want);
    EXPECT_EQ(e.size, want.size());
    char buf[64] = {};
    ASSERT_EQ(read(e.fd, buf, sizeof buf), static_cast<ssize_t>(want.size()));  // positioned at the start
    EXPECT_EQ(std::string(buf), want);
    close(e.fd);
}

TEST_F(Template, PageIntoStream)
{
    temp_dir dir;
    g_config.Templates = dir.path();
    write_file(dir / "ERR_TEST", "v=$VERSION$");
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    icap_entity e;
    ASSERT_EQ(make_report_page(g_request, e, "/ERR_TEST", out, values()), 200);
    fclose(out);
    EXPECT_EQ(std::string(buf, len), "v=6.0.0.0");
    free(buf);
}

TEST_F(Template, MissingTemplateFailsWithoutHarm)
{
    temp_dir dir;
    g_config.Templates = dir.path();
    icap_entity e;
    e.path = dir / "res-body1-abcdef";
    write_file(e.path, "body", 0600);
    e.fd = open(e.path.c_str(), O_RDWR);
    log_capture log(0xFF);
    EXPECT_EQ(make_report_page(g_request, e, "/ERR_NONE", nullptr, values()), 0);
    EXPECT_TRUE(log.has("can`t open template - " + dir.path() + "/ERR_NONE: No such file or directory\n"));
    if (e.fd >= 0)
        close(e.fd);

    // An entity without a file gets a new one in Cache, which must exist.
    e.fd = -1;
    e.path.clear();
    e.name = "res-body";
    g_config.Cache = dir.path() + "/missing-dir/";
    EXPECT_EQ(make_report_page(g_request, e, "/ERR_NONE", nullptr, values()), 0);
    EXPECT_TRUE(log.has("can`t open temp file [" + g_config.Cache + "res-body" + std::to_string(getpid()) +
                        "-XXXXXX]: No such file or directory\n"))
        << log.text();
}

// The shipped pages expand completely: no macro is left over, and every
// macro the request fills in is there.
TEST_F(Template, ShippedPages)
{
    g_config.Templates = std::string(TVX_SOURCE_DIR) + "/etc/templates";
    set_url("http://example.com/<x>");
    for (const char *name : {REPORT_ACCESS_DENIED, REPORT_ACCESS_DENIED_MOVED, REPORT_FAILED_CHECK,
                             REPORT_DOWNLOAD_BLOCK}) {
        char *buf = nullptr;
        size_t len = 0;
        FILE *out = open_memstream(&buf, &len);
        icap_entity e;
        ASSERT_EQ(make_report_page(g_request, e, name, out, values()), 200) << name;
        fclose(out);
        std::string page(buf, len);
        free(buf);
        EXPECT_EQ(page.find('$'), std::string::npos) << name;
        EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u) << name;
        EXPECT_NE(page.find("http://example.com/&lt;x&gt;"), std::string::npos) << name;
        EXPECT_EQ(page.find("<x>"), std::string::npos) << name;
        EXPECT_NE(page.find("</html>"), std::string::npos) << name;
    }
}

}  // namespace
