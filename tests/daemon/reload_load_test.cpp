// Reloads under load through the real binaries: icap-bench keeps sixteen
// keep-alive connections busy with scanned RESPMODs while the listener gets
// a SIGHUP every second for half a minute, with good and bad texts in turn.
// Not one request may fail: busy processes finish their request, idle ones
// end cleanly, and a refused text changes nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

#include "support/support.h"
#include "support/tavexd_process.h"

using namespace tvx_test;

namespace {

const std::string k_bench = std::string(TVX_BINARY_DIR) + "/tools/icap-bench/icap-bench";

// The value of name= in a RESULT line, or -1.
long long result_field(const std::string &out, const std::string &name)
{
    size_t line = out.find("RESULT ");
    if (line == std::string::npos)
        return -1;
    size_t at = out.find(" " + name + "=", line);
    if (at == std::string::npos)
        return -1;
    return std::stoll(out.substr(at + name.size() + 2));
}

}  // namespace

TEST(reload_load, sighup_every_second_under_sixteen_busy_connections_fails_no_request)
{
    tavexd_process scanner;
    ASSERT_TRUE(scanner.start()) << scanner.stderr_text();
    daemon_process d;
    // Every scan logs a line: the log must not be emptied at a reload.
    const std::string common = "TavexAddress = " + scanner.local_address() + "\nMaxLogSize = inf\n";
    // Three texts in turn: two that load, one that is refused.
    const std::string texts[] = {
        common + "Timeout = 30\n",
        common + "Timeout = 31\nUsePreview = no\n",
        common + "Timeout = soon\n",
    };
    ASSERT_TRUE(d.start(texts[0])) << d.stderr_text();

    const int seconds = 30;
    run_result bench;
    std::thread load([&] {
        bench = run_program({k_bench, "respmod", "-p", std::to_string(d.port()), "-c", "16", "-s", "4k", "-d",
                             std::to_string(seconds), "-q"},
                            "", seconds + 60);
    });
    int refused = 0;
    for (int i = 1; i <= seconds; ++i) {
        sleep(1);
        const std::string &text = texts[i % 3];
        refused += i % 3 == 2;
        d.rewrite_config(text);
        ASSERT_EQ(kill(d.pid(), SIGHUP), 0);
    }
    load.join();

    printf("%s", bench.out.c_str());  // the load's figures, for the record
    EXPECT_EQ(bench.status, 0) << bench.out << bench.err;
    EXPECT_EQ(result_field(bench.out, "failed"), 0) << bench.out;
    EXPECT_EQ(result_field(bench.out, "errors"), 0) << bench.out;
    EXPECT_GT(result_field(bench.out, "ok"), 1000) << bench.out;
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), "Received SIGHUP signal\n") == size_t(seconds); }))
        << count_of(d.log(), "Received SIGHUP signal\n");
    EXPECT_EQ(count_of(d.log(), "Error in tvxid_init(): "), size_t(refused));
    EXPECT_TRUE(d.running());
    EXPECT_EQ(d.stop(), 0);
    EXPECT_TRUE(list_dir(d.cache_dir()).empty());
}
