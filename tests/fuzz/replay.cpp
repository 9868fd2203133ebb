// Runs saved fuzz inputs through a fuzz target under the ordinary compiler, so that the seeds
// and every crash ever found stay tested. Arguments: files or folders of inputs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool read_input(const std::string& path, std::vector<uint8_t>& bytes)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    bytes.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

int main(int argc, char** argv)
{
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "replay: cannot find %s\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            inputs.push_back(argv[i]);
            continue;
        }
        DIR* dir = opendir(argv[i]);
        if (!dir) return 1;
        std::vector<std::string> names;
        while (const dirent* e = readdir(dir))
            if (e->d_name[0] != '.') names.push_back(std::string(argv[i]) + "/" + e->d_name);
        closedir(dir);
        std::sort(names.begin(), names.end());
        inputs.insert(inputs.end(), names.begin(), names.end());
    }
    std::vector<uint8_t> bytes;
    for (const std::string& path : inputs) {
        if (!read_input(path, bytes)) {
            fprintf(stderr, "replay: cannot read %s\n", path.c_str());
            return 1;
        }
        fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    fprintf(stderr, "replay: %zu inputs, no failure\n", inputs.size());
    return 0;
}
