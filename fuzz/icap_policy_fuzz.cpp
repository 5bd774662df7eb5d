// Fuzz target for the ICAP connection with the policy on: the configuration
// is loaded by the real loader and has MIME rules that reject and scan,
// [match] blocks that set BlockAll, the block pages of etc/templates, and a
// tavexd scanning daemon on a private Unix socket for the whole run. After
// every input Cache must be empty, and the quarantine may hold only bodies
// with a threat that was not cured (Incurable = move).
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config/config_load.h"
#include "config/icapd_config.h"
#include "icap_harness.h"
#include "log/log.h"
#include "tavexd/tvd_eicar.h"

namespace {

// The patterns of the threats tavexd finds (besides the test string): a
// body in quarantine must hold one of them, since only a threat that is not
// cured is moved there.
const char *const threat_markers[] = {"TVX-CURE-ME", "TVXQ-INCURABLE", "TVX-DROP-ME", "TVX-ADWARE"};

std::string g_quarantine;  // the PathToQuarantine directory
pid_t g_tavexd = -1;       // the scanning daemon of this run

// Writes text to path and has it removed at exit.
void fuzz_write(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        abort();
    fuzz_harness_track(path);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

// Ends the scanning daemon; it removes its socket and pid file itself.
void fuzz_tavexd_stop()
{
    if (g_tavexd <= 0)
        return;
    kill(g_tavexd, SIGTERM);
    int status;
    while (waitpid(g_tavexd, &status, 0) < 0 && errno == EINTR) {
    }
    g_tavexd = -1;
}

// Starts tavexd on the private socket and waits for its pid file.
void fuzz_tavexd_start(const std::string &dir)
{
    std::string sock = dir + "/tavexd.sock";
    std::string pid_file = dir + "/tavexd.pid";
    std::string sigs = dir + "/tavexd.sig";
    fuzz_write(sigs,
               "signature EICAR-Test-File,K\n  eicar\n  cure remove\n"
               "signature Tavex.Test.Curable,K\n  text TVX-CURE-ME\n  cure remove\n"
               "signature Tavex.Test.Incurable,K\n  text TVXQ-INCURABLE\n  cure none\n"
               "signature Tavex.Test.Dropper,K\n  text TVX-DROP-ME\n  cure delete\n"
               "signature Tavex.Test.Adware,A\n  text TVX-ADWARE\n  code 0x400000\n");
    g_tavexd = fork();
    if (g_tavexd < 0)
        abort();
    if (g_tavexd == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, 2);
        execl(TVX_TAVEXD_PATH, TVX_TAVEXD_PATH, "-l", ("local:" + sock).c_str(), "-p", pid_file.c_str(), "-s",
              sigs.c_str(), "--temp-dir", dir.c_str(), "--info", "tavexd fuzz", static_cast<char *>(nullptr));
        _exit(127);
    }
    atexit(fuzz_tavexd_stop);
    for (int i = 0; i < 2000; ++i) {
        if (access(pid_file.c_str(), F_OK) == 0)
            return;
        if (waitpid(g_tavexd, nullptr, WNOHANG) == g_tavexd) {
            fprintf(stderr, "tavexd did not start\n");
            abort();
        }
        usleep(5000);
    }
    fprintf(stderr, "tavexd wrote no pid file\n");
    abort();
}

// The configuration of the run: every path private, no time-out.
std::string fuzz_config(const std::string &dir)
{
    struct passwd *pw = getpwuid(getuid());
    if (!pw)
        abort();
    // TVX_FUZZ_LOG names a log file for looking into one input.
    const char *log = getenv("TVX_FUZZ_LOG");
    std::string log_lines = log ? "LogFile = \"" + std::string(log) + "\"\nLogLevel = 255\n" : "";
    return log_lines + "User = " + pw->pw_name + "\n" +
           "Cache = \"" + dir + "/cache/\"\n"
           "PathToQuarantine = \"" + g_quarantine + "\"\n"
           "UcfDirectory = \"" + dir + "/ucf/\"\n"
           "Templates = \"" TVX_SOURCE_DIR "/etc/templates\"\n"
           "Timeout = 0\n"
           "KeepAlive = yes\n"
           "UsePreview = yes\n"
           "TavexAddress = local:" + dir + "/tavexd.sock\n"
           "LocalScan = no\n"
           "Infected = cure\n"
           "Incurable = move\n"
           "Adware = truncate\n"
           "Suspicious = report\n"
           "DaemonError = report\n"
           "SkipObject = pass\n"
           "Hostmaster = \"admin@example.org\"\n"
           "MimeStart\n"
           "image pass 2m scan\n"
           "text/css pass all\n"
           "video reject -report 100k scan\n"
           "application/x-msdownload reject -trunc all\n"
           "application/zip reject -report 10k scan\n"
           "text/html scan 1k pass\n"
           "MimeEnd\n"
           "[def]\n"
           "lab_network = { request_ip <<= \"10.20.0.0/16\" }\n"
           "blocked_user = { request_username == \"mallory\" || request_username ~ \"^guest\" }\n"
           "[match]\n"
           "if lab_network() || blocked_user() {\n"
           "    BlockAll = yes\n"
           "}\n"
           "if request_url ~ \"^http://blocked\\.example/\" && !lab_network() {\n"
           "    BlockAll = yes\n"
           "}\n";
}

// Makes the private directories, starts tavexd and loads the configuration
// through the loader, once per process.
void fuzz_setup()
{
    std::string dir = fuzz_harness_dir("/tmp/tvx-icap-policy-fuzz-XXXXXX");
    g_quarantine = dir + "/quarantine";
    std::string ucf = dir + "/ucf";
    if (mkdir(g_quarantine.c_str(), 0700) != 0 || mkdir(ucf.c_str(), 0700) != 0)
        abort();
    fuzz_harness_track(g_quarantine);
    fuzz_harness_track(ucf);
    fuzz_tavexd_start(dir);
    std::string conf = dir + "/icapd.ini";
    fuzz_write(conf, fuzz_config(dir));
    g_startup.source = conf;
    try {
        log_close();
        config_reload();
    } catch (const std::exception &e) {
        fprintf(stderr, "configuration refused: %s\n", e.what());
        abort();
    }
    if (!getenv("TVX_FUZZ_LOG"))
        log_set_level_mask(0);
}

// True when the file at path holds a threat pattern.
bool fuzz_holds_marker(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    std::string text;
    char buf[16384];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    for (const char *m : threat_markers)
        if (text.find(m) != std::string::npos)
            return true;
    return text.find(tvd_eicar()) != std::string::npos;
}

// Empties the quarantine; aborts when it held a file other than a body
// with a threat in it (a clean, rejected or blocked body is never moved).
void fuzz_quarantine_check()
{
    bool stray = false;
    for (const std::string &n : fuzz_harness_entries(g_quarantine)) {
        std::string path = g_quarantine + "/" + n;
        if (!fuzz_holds_marker(path)) {
            fprintf(stderr, "file left in quarantine: %s\n", path.c_str());
            stray = true;
        }
        unlink(path.c_str());
    }
    if (stray)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > fuzz_input_max)
        return 0;
    fuzz_harness_run(data, size);
    fuzz_quarantine_check();
    return 0;
}
