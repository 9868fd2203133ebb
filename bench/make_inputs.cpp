// Makes the benchmark's inputs, the same bytes on every run:
//   make_inputs tree DIR        about 300 MB in 1023 files, top level plus ten subdirectories
//   make_inputs wav FILE SECS   a 44.1 kHz 16-bit stereo WAV of the given length
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

static uint64_t rng_state = 0x9E3779B97F4A7C15ull;

static uint64_t next_random()
{
    uint64_t z = (rng_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

static double uniform()
{
    return double(next_random() >> 11) / double(1ull << 53);
}

static int write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
        fprintf(stderr, "cannot write %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

static int make_tree(const std::string& dir)
{
    const int files = 1023, subdirs = 10;
    const double max_size = 4.5e6; // log-uniform sizes from 1 byte up: about 300 MB in all
    mkdir(dir.c_str(), 0755);
    for (int d = 0; d < subdirs; ++d)
        mkdir((dir + "/sub" + std::to_string(d)).c_str(), 0755);
    uint64_t total = 0;
    std::vector<uint8_t> bytes;
    for (int i = 0; i < files; ++i) {
        size_t size = i % 97 == 0 ? 0 : size_t(std::exp(uniform() * std::log(max_size)));
        // Names from 8 to 29 characters, unique through the index.
        char name[32];
        int len = 8 + int(next_random() % 22);
        int n = snprintf(name, sizeof name, "f%04d_", i);
        for (; n < len; ++n)
            name[n] = char('a' + next_random() % 26);
        name[len] = '\0';
        int where = int(next_random() % (subdirs + 3)); // about a fifth at the top
        std::string path =
            where >= subdirs ? dir + "/" + name : dir + "/sub" + std::to_string(where) + "/" + name;
        bytes.resize(size);
        for (size_t k = 0; k < size; k += 8) {
            uint64_t r = next_random();
            memcpy(bytes.data() + k, &r, size - k < 8 ? size - k : 8);
        }
        if (write_file(path, bytes) != 0) return 1;
        total += size;
    }
    printf("tree %s: %d files, %llu bytes\n", dir.c_str(), files, (unsigned long long)total);
    return 0;
}

static void put16(std::vector<uint8_t>& b, size_t at, int v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

static void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        b[at + k] = uint8_t(v >> (8 * k));
}

static int make_wav(const std::string& file, int seconds)
{
    const uint32_t rate = 44100, frames = rate * uint32_t(seconds);
    const uint32_t data_size = frames * 4;
    std::vector<uint8_t> b(44 + size_t(data_size));
    memcpy(&b[0], "RIFF", 4);
    put32(b, 4, 36 + data_size);
    memcpy(&b[8], "WAVEfmt ", 8);
    put32(b, 16, 16);
    put16(b, 20, 1);
    put16(b, 22, 2);
    put32(b, 24, rate);
    put32(b, 28, rate * 4);
    put16(b, 32, 4);
    put16(b, 34, 16);
    memcpy(&b[36], "data", 4);
    put32(b, 40, data_size);
    // Half a second of silence, then chords with a slow swell, noise and a small DC offset.
    const double two_pi = 6.283185307179586;
    for (uint32_t i = 0; i < frames; ++i) {
        double t = double(i) / rate;
        double level = t < 0.5 ? 0.0 : 0.45 + 0.35 * std::sin(two_pi * 0.05 * t);
        double note = 110.0 * std::pow(2.0, double((i / (rate / 2)) % 12) / 12.0);
        double s = std::sin(two_pi * note * t) + 0.5 * std::sin(two_pi * note * 1.5 * t) +
                   0.25 * std::sin(two_pi * note * 2.0 * t);
        double noise = (uniform() - 0.5) * 0.05;
        int left = int(level * 14000.0 * (s + noise)) + (t < 0.5 ? 0 : 300);
        int right = int(level * 14000.0 * (s * 0.8 - noise)) + (t < 0.5 ? 0 : 300);
        put16(b, 44 + size_t(i) * 4, left);
        put16(b, 46 + size_t(i) * 4, right);
    }
    if (write_file(file, b) != 0) return 1;
    printf("wav %s: %d s, %zu bytes\n", file.c_str(), seconds, b.size());
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "tree") == 0) return make_tree(argv[2]);
    if (argc == 4 && strcmp(argv[1], "wav") == 0) return make_wav(argv[2], atoi(argv[3]));
    fprintf(stderr, "usage: make_inputs tree DIR | wav FILE SECONDS\n");
    return 2;
}
