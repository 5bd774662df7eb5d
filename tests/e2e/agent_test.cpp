// The daemon and the management agent: the configuration fetched from
// tavex-agent at start-up and on SIGHUP, the start-up failures with their
// messages and status, a reload the agent fails, and statistics records
// with their exact fields, including an agent that is down.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "support/agent_process.h"
#include "support/support.h"
#include "support/tavexd_process.h"
#include "tavexd/tvd_eicar.h"

using namespace tvx_test;

namespace {

class agent_e2e : public ::testing::Test {
protected:
    agent_process agent;
    tavexd_process scanner;
    daemon_process icapd;

    // What the agent serves: the paths of icapd's directory, its port.
    std::string served(const std::string &extra)
    {
        return base_config(icapd.dir().path(), icapd.port()) + extra;
    }
    // Starts the daemon on the configuration the agent serves.
    bool start_daemon(const std::string &extra, const std::string &fail_mode = "")
    {
        icapd.choose_port();
        return agent.start(served(extra), fail_mode) && icapd.start("", {"-f", agent.address()});
    }
    std::string head(const std::string &method, const std::string &enc) const
    {
        std::string port = std::to_string(icapd.port());
        return method + " icap://127.0.0.1:" + port + "/av ICAP/1.0\r\nHost: 127.0.0.1:" + port +
               "\r\nEncapsulated: " + enc + "\r\n\r\n";
    }
    bool respmod(const std::string &body, icap_reply &r)
    {
        icap_conn c;
        std::string rq = "GET /dl/eicar.com HTTP/1.1\r\nHost: files.example\r\n\r\n";
        std::string hdr = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        return c.connect(icapd.port()) &&
               c.send(head("RESPMOD", "req-hdr=0, res-hdr=" + std::to_string(rq.size()) +
                                          ", res-body=" + std::to_string(rq.size() + hdr.size())) +
                      rq + hdr + chunked(body)) &&
               c.read_reply(r);
    }
    bool options(icap_reply &r)
    {
        icap_conn c;
        return c.connect(icapd.port()) && c.send(head("OPTIONS", "null-body=0")) && c.read_reply(r);
    }
    // The daemon run once in the foreground with -f source: status and stderr.
    run_result start_up_with(const std::string &source)
    {
        return run_program({TVX_DAEMON_PATH, "-m", "-f", source}, "", 30);
    }
};

}  // namespace

TEST_F(agent_e2e, the_daemon_runs_on_the_configuration_the_agent_serves_and_reloads_it)
{
    ASSERT_TRUE(start_daemon("LogLevel = 3\nBlockAll = yes\n")) << agent.stderr_text() << icapd.stderr_text();
    icap_reply r;
    ASSERT_TRUE(respmod("plain", r));
    EXPECT_EQ(r.fields["x-response-info"], "Report");  // BlockAll from the agent's text

    agent.rewrite_config(served("LogLevel = 3\nBlockAll = no\n"));
    ASSERT_TRUE(agent.reload());
    ASSERT_EQ(kill(icapd.pid(), SIGHUP), 0);
    EXPECT_TRUE(eventually([&] {
        icap_reply a;
        return respmod("plain", a) && a.fields.count("x-response-info") == 0;
    }));

    // A reload the agent fails (a text with a syntax error) keeps serving
    // the configuration in force.
    agent.rewrite_config(served("LogLevel = 3\nBlockAll = maybe\n"));
    ASSERT_TRUE(agent.reload());
    ASSERT_EQ(kill(icapd.pid(), SIGHUP), 0);
    EXPECT_TRUE(icapd.wait_log("Error in tvxid_init(): Error while parsing config file: "));
    ASSERT_TRUE(options(r));
    EXPECT_EQ(r.status, 200);
}

TEST_F(agent_e2e, start_up_failures_end_the_daemon_with_their_message)
{
    // Nothing listening at the address.
    run_result res = start_up_with("local:/nonexistent/agent.sock");
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.err, "Can`t connect to agent from local:/nonexistent/agent.sock\n");

    res = start_up_with("nowhere:x");
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(res.err, "Error in parse path to agent socket nowhere:x\n");

    struct {
        const char *mode;
        const char *err;  // standard error
    } cases[] = {
        // A text cut short is a failed load, logged as a file's would be.
        {"close-mid", ""},
        {"status3", "invalid agent response (3) \n"},
        {"huge-block", "invalid agent response: File too large\n"},
        {"huge-config", "invalid agent response: configuration text of 4294967295 bytes is longer than 67108864\n"},
    };
    for (const auto &c : cases) {
        agent_process a;
        ASSERT_TRUE(a.start("LogLevel = 1\n", c.mode)) << c.mode;
        res = start_up_with(a.address());
        EXPECT_EQ(res.status, 1) << c.mode;
        EXPECT_EQ(res.err, c.err) << c.mode;
    }
}

TEST_F(agent_e2e, an_agent_that_says_nothing_fails_a_reload_after_timeout)
{
    ASSERT_TRUE(start_daemon("Timeout = 1\n"));
    agent.stop();
    agent_process silent;
    // The same socket path is not free to reuse here; the daemon's -f names
    // the first agent's socket, so the silent one takes it over.
    ASSERT_TRUE(silent.start("Timeout = 1\n", "silent", {"-l", "local:" + agent.socket_path()}));
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(icapd.pid(), SIGHUP), 0);
    EXPECT_TRUE(icapd.wait_log("Error in tvxid_init(): invalid agent response (0) "));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(s, 6.0);
    icap_reply r;
    ASSERT_TRUE(options(r));
    EXPECT_EQ(r.status, 200);
}

TEST_F(agent_e2e, statistics_reach_the_agent_with_their_fields)
{
    ASSERT_TRUE(scanner.start()) << scanner.stderr_text();
    const std::string scan = "TavexAddress = " + scanner.local_address() + "\nLogLevel = 35\n";
    struct {
        const char *keys;
        const char *record;  // "" for: none
    } cases[] = {
        {"SendStat = yes\nSendUrlsWithViruses = yes\nInfected = report\n",
         "{\"kind\":4,\"quarantine\":\"\",\"threats\":[{\"name\":\"EICAR-Test-File\",\"type\":1}],"
         "\"url\":\"files.example/dl/eicar.com\",\"url_threats\":[\"EICAR-Test-File\"]}"},
        {"SendStat = yes\nInfected = report\n",
         "{\"kind\":3,\"quarantine\":\"\",\"threats\":[{\"name\":\"EICAR-Test-File\",\"type\":1}]}"},
        {"SendUrlsWithViruses = yes\nInfected = report\n",
         "{\"kind\":4,\"quarantine\":\"\",\"threats\":[],\"url\":\"files.example/dl/eicar.com\",\"url_threats\":[]}"},
    };
    // The agent's output file carries on across its restarts: each case
    // adds one line.
    size_t seen = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        ASSERT_TRUE(start_daemon(scan + c.keys)) << agent.stderr_text() << icapd.stderr_text();
        icap_reply r;
        ASSERT_TRUE(respmod("<html>" + tvd_eicar() + "</html>", r));
        EXPECT_NE(r.raw_head.find("X-Infection-Found"), std::string::npos);
        ASSERT_TRUE(agent.wait_records(seen + 1)) << agent.stderr_text() << icapd.log();
        EXPECT_EQ(agent.records().back(), c.record);
        EXPECT_TRUE(icapd.wait_log("Success send 1 record(s) to agent (q = ); url=files.example/dl/eicar.com"));
        // A clean body takes no action and sends nothing.
        ASSERT_TRUE(respmod("clean", r));
        EXPECT_EQ(agent.records().size(), ++seen);
        ASSERT_EQ(icapd.stop(), 0);
        agent.stop();
    }

    // A move sends the quarantine file's name.
    ASSERT_TRUE(start_daemon(scan + "SendStat = yes\nInfected = move\n"));
    icap_reply r;
    ASSERT_TRUE(respmod("<html>" + tvd_eicar() + "</html>", r));
    ASSERT_TRUE(agent.wait_records(seen + 1));
    std::string rec = agent.records().back();
    const std::string q = "{\"kind\":3,\"quarantine\":\"" + icapd.dir() / "quarantine/";
    EXPECT_EQ(rec.substr(0, q.size()), q) << rec;
    EXPECT_EQ(rec.find("\"quarantine\":\"\""), std::string::npos);
}

TEST_F(agent_e2e, an_agent_that_is_down_costs_a_request_only_a_log_line)
{
    ASSERT_TRUE(scanner.start()) << scanner.stderr_text();
    ASSERT_TRUE(start_daemon("TavexAddress = " + scanner.local_address() +
                             "\nSendStat = yes\nInfected = report\nTimeout = 2\n"));
    agent.stop();
    icap_reply r;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(respmod("<html>" + tvd_eicar() + "</html>", r));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_NE(r.raw_head.find("X-Infection-Found"), std::string::npos);
    EXPECT_NE(r.body.find("EICAR-Test-File"), std::string::npos);
    EXPECT_LT(s, 3.0);
    EXPECT_TRUE(icapd.wait_log("Can`t connect to agent from " + agent.address() + "\n"));

    // An agent that takes the record and never answers costs at most Timeout.
    agent_process silent;
    ASSERT_TRUE(silent.start("", "silent", {"-l", agent.address()}));
    t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(respmod("<html>" + tvd_eicar() + "</html>", r));
    s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_NE(r.body.find("EICAR-Test-File"), std::string::npos);
    EXPECT_LT(s, 5.0);
    EXPECT_TRUE(icapd.wait_log("Error in send stat to agent: "));
}
