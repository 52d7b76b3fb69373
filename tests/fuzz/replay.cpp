// Runs a fuzz target over stored inputs (seed corpus and kept crash inputs), so every
// build's test run re-checks them without a fuzzing engine.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

static bool read_file(const std::string &path, std::vector<uint8_t> &out) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    fclose(f);
    return true;
}

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    int inputs = 0;
    for (int a = 1; a < argc; ++a) {
        DIR *d = opendir(argv[a]);
        if (!d) return 1; // a missing corpus is a failure, not an empty pass
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::vector<uint8_t> data;
            if (!read_file(std::string(argv[a]) + "/" + e->d_name, data)) return 1;
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++inputs;
        }
        closedir(d);
    }
    return inputs > 0 ? 0 : 1;
}
