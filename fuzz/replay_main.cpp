// Replays fuzz inputs without libFuzzer: every file named on the command
// line, or every file of a directory named there, goes once through
// LLVMFuzzerTestOneInput. A crash, sanitizer report or abort fails the run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
// Optional, as with libFuzzer: run once before the first input.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

// One input read before any is run (a target may change directory).
struct replay_input {
    std::string path;
    std::vector<uint8_t> data;
};

// Adds the file at path to inputs; false when it cannot be read.
bool replay_read(const std::string &path, std::vector<replay_input> &inputs)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        perror(path.c_str());
        return false;
    }
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    fclose(f);
    inputs.push_back({path, std::move(data)});
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<replay_input> inputs;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            perror(argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (!replay_read(argv[i], inputs))
                return 1;
            continue;
        }
        DIR *d = opendir(argv[i]);
        if (!d)
            return 1;
        std::vector<std::string> names;
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(std::string(argv[i]) + "/" + e->d_name);
        closedir(d);
        for (const std::string &p : names)
            if (!replay_read(p, inputs))
                return 1;
    }
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    for (const replay_input &in : inputs) {
        fprintf(stderr, "replaying %s\n", in.path.c_str());
        LLVMFuzzerTestOneInput(in.data.data(), in.data.size());
    }
    printf("replayed %zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
