// Times the image reader on an image of 1023 entries: indexing it, and looking up every path.
#include "qel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using bench_clock = std::chrono::steady_clock;

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int main()
{
    // Names like a packed asset tree: ten labelled folders and the top level, 1 to 64 data bytes.
    std::vector<uint8_t> image;
    std::vector<std::string> paths;
    for (int i = 0; i < QEL_MAX_ENTRIES; ++i) {
        char dir[32] = "", name[32];
        if (i % 5) snprintf(dir, sizeof dir, "sub%d", i % 10);
        snprintf(name, sizeof name, "asset_%04d_%s.dat", i, i % 3 ? "tex" : "snd");
        uint32_t size = 1 + uint32_t(i % 64);
        uint32_t next = i + 1 < QEL_MAX_ENTRIES ? (QEL_HEADER_SIZE + size + 15) / 16 * 16 : 0;
        size_t at = image.size();
        image.resize(at + (next ? next : QEL_HEADER_SIZE + size));
        uint8_t* h = image.data() + at;
        std::string path = std::string(dir) + "/" + name;
        qel_put32(h + QEL_OFF_HEAD_MAGIC, QEL_HEAD_MAGIC);
        qel_put32(h + QEL_OFF_HEADER_SIZE, QEL_HEADER_SIZE);
        qel_put32(h + QEL_OFF_DATA_SIZE, size);
        qel_put32(h + QEL_OFF_NEXT, next);
        qel_put32(h + QEL_OFF_HASH, qel_hash(path.c_str()));
        memcpy(h + QEL_OFF_DIR_NAME, dir, strlen(dir));
        memcpy(h + QEL_OFF_FILE_NAME, name, strlen(name));
        qel_put32(h + QEL_OFF_TAIL_MAGIC, QEL_TAIL_MAGIC);
        paths.push_back(path);
    }

    std::vector<std::string> misses;
    for (const std::string& p : paths)
        misses.push_back(p + "x");

    qel_init();
    const int index_rounds = 2000, find_rounds = 200;
    std::vector<double> index_ns, find_ns, miss_ns;
    for (int run = 0; run < 7; ++run) {
        auto t0 = bench_clock::now();
        int n = 0;
        for (int r = 0; r < index_rounds; ++r)
            n += qel_index(image.data(), image.size());
        auto t1 = bench_clock::now();
        if (n != index_rounds * QEL_MAX_ENTRIES) {
            fprintf(stderr, "index gave %d\n", n);
            return 1;
        }
        index_ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() /
                           index_rounds);

        long found = 0;
        t0 = bench_clock::now();
        for (int r = 0; r < find_rounds; ++r)
            for (const std::string& p : paths)
                found += qel_find(p.c_str());
        t1 = bench_clock::now();
        long want = long(find_rounds) * (long(QEL_MAX_ENTRIES) * (QEL_MAX_ENTRIES - 1) / 2);
        if (found != want) {
            fprintf(stderr, "lookups went wrong\n");
            return 1;
        }
        find_ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() /
                          (double(find_rounds) * QEL_MAX_ENTRIES));

        t0 = bench_clock::now();
        for (int r = 0; r < find_rounds; ++r)
            for (const std::string& p : misses)
                found += qel_find(p.c_str());
        t1 = bench_clock::now();
        miss_ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() /
                          (double(find_rounds) * QEL_MAX_ENTRIES));
    }
    printf("reader  index 1023 entries  %8.0f ns\n", median(index_ns));
    printf("reader  qel_find, hit       %8.1f ns per lookup\n", median(find_ns));
    printf("reader  qel_find, miss      %8.1f ns per lookup\n", median(miss_ns));
    return 0;
}
