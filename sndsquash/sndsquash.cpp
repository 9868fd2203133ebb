// sndsquash's command line, WAV loading and output writing.
#include "pcmtool.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// "オプション(%s)が異常です。\n"
static const char msg_bad_option[] =
    "\x83\x49\x83\x76\x83\x56\x83\x87\x83\x93(%s)\x82\xAA\x88\xD9\x8F\xED\x82\xC5\x82\xB7\x81\x42\n";
// "-Dの範囲は0～1です。\n"
static const char msg_range_d[] = "-D\x82\xCC\x94\xCD\x88\xCD\x82\xCD"
                                  "0\x81\x60"
                                  "1\x82\xC5\x82\xB7\x81\x42\n";
// "-Nの範囲は0～1です。\n"
static const char msg_range_n[] = "-N\x82\xCC\x94\xCD\x88\xCD\x82\xCD"
                                  "0\x81\x60"
                                  "1\x82\xC5\x82\xB7\x81\x42\n";
// "-Sの範囲は0～1です。\n"
static const char msg_range_s[] = "-S\x82\xCC\x94\xCD\x88\xCD\x82\xCD"
                                  "0\x81\x60"
                                  "1\x82\xC5\x82\xB7\x81\x42\n";

void show_usage()
{
    fprintf(stderr, "SNDSQUASH WAV to ADPCM Sound converter by Noru. %s %s\n", __DATE__, __TIME__);
    fprintf(stderr, "Usage: SNDSQUASH [Option] [WAV file]\n");
    fprintf(stderr, " Option:non\n");
}

int parse_options(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        printf("argv[%d]='%s'\n", i, arg);
        if (arg[0] != '-') {
            pcm.in_name = arg;
            continue;
        }
        int* flag = nullptr;
        const char* range_msg = nullptr;
        switch (arg[1]) {
        case '?':
        case 'H':
        case 'h':
            show_usage();
            return 0;
        case 'D':
        case 'd':
            flag = &pcm.dc_flag;
            range_msg = msg_range_d;
            break;
        case 'N':
        case 'n':
            flag = &pcm.norm_flag;
            range_msg = msg_range_n;
            break;
        case 'S':
        case 's':
            flag = &pcm.trim_flag;
            range_msg = msg_range_s;
            break;
        default:
            fprintf(stderr, msg_bad_option, arg);
            return 1;
        }
        // No digits reads as 0; an overlong number saturates and is refused with the rest.
        long value = strtol(arg + 2, nullptr, 10);
        if (value < 0 || value > 1) {
            fputs(range_msg, stderr);
            return 1;
        }
        *flag = int(value);
    }
    return -1;
}

const uint8_t* find_data_chunk(const uint8_t* bytes, size_t length)
{
    static const char tags[4][5] = {"RIFF", "WAVE", "fmt ", "data"};
    size_t pos = 0; // never beyond length
    int steps = 0;  // one budget for all four tags
    for (const char* tag : tags) {
        for (;;) {
            if (steps >= 64 || length - pos < 4) return nullptr;
            if (memcmp(bytes + pos, tag, 4) == 0) break;
            ++pos;
            ++steps;
        }
        printf("'%s' ", tag);
        pos += 4;
    }
    if (length - pos < 4) return nullptr; // no room for the size field
    return bytes + pos;
}

static int32_t get32(const uint8_t* p)
{
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24);
}

// The input is read a piece at a time: the first piece holds the tags, and the downmix reads
// the rest as it goes, so that the whole file never sits in fresh memory.
enum : size_t { WAV_PIECE = size_t(1) << 20 };

// Opens the input and reads its first piece into pcm.wav; the file size, or -1 after the
// message. The file stays open in pcm.wav_fd when there is more to read.
static int64_t load_wav(const char* name)
{
    // Non-blocking, so that a FIFO cannot stall the run before it is refused.
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        printf("file open err:'%s'\n", name);
        return -1;
    }
    printf("file open:'%s'\n", name);
    int64_t size = lseek(fd, 0, SEEK_END);
    if (size < 0) size = 0;
    size_t room = size < int64_t(WAV_PIECE) ? size_t(size) : WAV_PIECE;
    uint8_t* buf = nullptr;
    if (room > 0) buf = static_cast<uint8_t*>(pcm_calloc(room, 1));
    if (!buf) {
        printf("malloc error:%lldkb\n", (long long)(size / 1024));
        close(fd);
        return -1;
    }
    lseek(fd, 0, SEEK_SET);
    pcm_read(fd, buf, room); // what the file no longer delivers stays zero
    pcm.wav = buf;
    pcm.wav_room = pcm.wav_len = room;
    if (int64_t(room) < size)
        pcm.wav_fd = fd;
    else
        close(fd);
    return size;
}

static bool write_fully(int fd, const uint8_t* buf, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

int write_output()
{
    // Only an extension in the last path component is replaced: dd.x/y gives dd.x/y.pcm.
    std::string name = pcm.in_name;
    size_t slash = name.rfind('/');
    size_t last_len = slash == std::string::npos ? name.size() : name.size() - slash - 1;
    if (last_len > 4 && name[name.size() - 4] == '.') name.resize(name.size() - 4);
    name += ".pcm";

    // Non-blocking, so that a FIFO without a reader is refused instead of waited for.
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        printf("file open err:'%s'\n", name.c_str());
        return -1;
    }
    printf("file open:'%s'\n", name.c_str());
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool ok = write_fully(fd, pcm.out, size_t(pcm.out_len));
    if (close(fd) != 0) ok = false;
    if (!ok) {
        // A cut-short file would pass for a converted sound; leave none behind.
        printf("file write err:'%s'\n", name.c_str());
        if (regular) unlink(name.c_str());
        return -1;
    }
    return 0;
}

// The tag scan over the `held` bytes at the start of the input, the size checks, the output
// buffer and the conversion, for a file of file_size bytes. 0 when converted, 1 when the
// declared size is refused, -1 on failure; the output buffer is kept only on 0.
static int convert_input(const uint8_t* bytes, size_t held, int64_t file_size)
{
    const uint8_t* size_field = find_data_chunk(bytes, held);
    if (!size_field) {
        printf("file is not WAV !!\n");
        pcm_release_input();
        return -1;
    }
    int32_t data_size = get32(size_field);
    if (data_size < 0 || file_size <= data_size) {
        printf("WAV file data size mismatch !!\n");
        pcm_release_input();
        return 1;
    }
    // A chunk that claims more than the file holds keeps what is there.
    int64_t present = file_size - (size_field + 4 - bytes);
    if (data_size > present) data_size = int32_t(present);
    pcm.data = size_field + 4;
    pcm.data_size = data_size;

    int capacity = data_size / 16 + 1024;
    pcm.out = static_cast<uint8_t*>(pcm_calloc(size_t(capacity) + 1, 1));
    if (!pcm.out) {
        printf("malloc error:%dkb\n", capacity / 1024);
        pcm_release_input();
        return -1;
    }
    pcm.out_len = capacity;

    // A failed working buffer leaves nothing worth writing.
    if (convert() != 0) {
        pcm_release_input();
        pcm_free(pcm.out);
        pcm.out = nullptr;
        return -1;
    }
    return 0;
}

int pcm_convert_memory(const uint8_t* bytes, size_t length)
{
    pcm_release_input(); // the samples come from bytes alone
    // A run cannot load an empty file: it asks for no memory and says so.
    if (length == 0) {
        printf("malloc error:0kb\n");
        return -1;
    }
    int rc = convert_input(bytes, length, int64_t(length));
    pcm_free(pcm.out);
    pcm.out = nullptr;
    return rc < 0 ? -1 : 0;
}

int sndsquash_main(int argc, char** argv)
{
    int rc = parse_options(argc, argv);
    if (rc >= 0) return rc;
    if (pcm.in_name.empty()) {
        show_usage();
        return 0;
    }
    int64_t file_size = load_wav(pcm.in_name.c_str());
    if (file_size < 0) return -1;

    rc = convert_input(pcm.wav, pcm.wav_len, file_size);
    if (rc < 0) return -1;
    if (rc == 0) {
        rc = write_output();
        pcm_free(pcm.out);
        pcm.out = nullptr;
    } else {
        rc = 0; // the file is left alone
    }
    printf("done\n");
    return rc == 0 ? 0 : -1;
}
