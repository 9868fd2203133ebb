// Image reader and the -l/-t/-e work behind it, in-process. Images come from a small builder
// of this file's own, so a fault shared with the writer cannot hide; one test uses the writer.
#include "qel.h"
#include "scratch_files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

void put32(std::string& s, size_t at, uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        s[at + k] = char(v >> (8 * k));
}

uint32_t round16(size_t n)
{
    return uint32_t((n + 15) / 16 * 16);
}

// One entry as the writer lays it out: header, data, zero fill up to next (0: no fill).
std::string
entry(const std::string& dir, const std::string& name, const std::string& data, uint32_t next)
{
    std::string e(QEL_HEADER_SIZE, '\0');
    e.replace(0, 4, "QeLh");
    put32(e, 4, QEL_HEADER_SIZE);
    put32(e, 8, uint32_t(data.size()));
    put32(e, 12, next);
    put32(e, 16, qel_hash((dir + "/" + name).c_str()));
    e.replace(36, dir.size(), dir); // a 32-byte name fills its field and has no NUL
    e.replace(68, name.size(), name);
    e.replace(100, 4, "QeLf");
    e += data;
    if (next) e.resize(next, '\0');
    return e;
}

struct file {
    std::string dir, name, data;
};

std::string image(const std::vector<file>& files)
{
    std::string img;
    for (size_t i = 0; i < files.size(); ++i) {
        const file& f = files[i];
        bool last = i + 1 == files.size();
        img += entry(f.dir, f.name, f.data, last ? 0 : round16(104 + f.data.size()));
    }
    return img;
}

class Reader : public testing::Test {
  protected:
    void SetUp() override
    {
        qel_init();
    }

    void TearDown() override
    {
        qel_init();
    }

    // Indexes the first length bytes from a buffer of exactly that size, so that the sanitizer
    // sees any read past the end; the buffer lives until the next call.
    int index(const std::string& img, size_t length, std::string* printed = nullptr)
    {
        held.reset(new uint8_t[length]);
        std::copy(img.begin(), img.begin() + length, held.get());
        testing::internal::CaptureStdout();
        int rc = qel_index(held.get(), length);
        std::string out = testing::internal::GetCapturedStdout();
        if (printed)
            *printed = out;
        else
            EXPECT_EQ(out, "");
        return rc;
    }

    int index(const std::string& img, std::string* printed = nullptr)
    {
        return index(img, img.size(), printed);
    }

    std::unique_ptr<uint8_t[]> held;
};

TEST_F(Reader, OneTopLevelFileFromTheWriter)
{
    std::string dir = make_temp_dir();
    std::ofstream(dir + "/a", std::ios::binary) << "abc";
    testing::internal::CaptureStdout();
    ASSERT_EQ(qel_open((dir + "/root.bin").c_str()), 0);
    ASSERT_EQ(qel_add((dir + "/a").c_str(), "a", ""), 0);
    ASSERT_EQ(qel_finish(), 0);
    testing::internal::GetCapturedStdout();
    std::string img = read_file(dir + "/root.bin");
    ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);

    ASSERT_EQ(index(img), 1);
    EXPECT_EQ(qel_count(), 1);

    struct {
        const char* path;
        int found;
    } cases[] = {{"/a", 0},   {"/A", 0},   {"a", -1},   {"A", -1},   {"", -1},     {"/", -1},
                 {"/a/", -1}, {"/ab", -1}, {"//a", -1}, {"/a ", -1}, {nullptr, -1}};

    for (const auto& c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        EXPECT_EQ(qel_find(c.path), c.found);
    }
    const uint8_t* e = qel_entry(0);
    ASSERT_EQ(e, held.get());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e) + 104, 3), "abc");
}

TEST_F(Reader, FindConfirmsEveryHashMatchByName)
{
    std::vector<file> files = {
        {"", "a[1]", "0"},      {"", "a{1}", "1"},      // bit 5 of a bracket
        {"", "a1234567b", "2"}, {"", "b1234567a", "3"}, // bytes swapped 8 places apart
        {"", "\xE0x", "4"},     {"", "\xC0x", "5"},     // bit 5 of a high byte
        {"snd", "title", "6"},  {"", "title", "7"},
    };
    for (size_t i = 0; i < files.size(); i += 2) {
        SCOPED_TRACE(files[i].name);
        ASSERT_EQ(qel_hash(("/" + files[i].name).c_str()),
                  qel_hash(("/" + files[i + 1].name).c_str()));
    }
    ASSERT_EQ(index(image(files)), 8);

    struct {
        const char* path;
        int found;
    } cases[] = {
        {"/a[1]", 0},      {"/A[1]", 0},       {"/a{1}", 1},       {"/A{1}", 1},  {"/a1234567b", 2},
        {"/B1234567A", 3}, {"/a1234567a", -1}, {"/\xE0x", 4},      {"/\xC0X", 5}, {"/\xE0X", 4},
        {"/\xA0x", -1},    {"snd/title", 6},   {"SND/Title", 6},   {"/title", 7}, {"title", -1},
        {"snd/titl", -1},  {"snd/title/", -1}, {"snd\\title", -1},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(qel_find(c.path), c.found);
    }
}

TEST_F(Reader, FirstOfEqualPathsWins)
{
    ASSERT_EQ(index(image({{"", "x", "1"}, {"", "ab", "2"}, {"", "AB", "3"}, {"", "ab", "4"}})), 4);
    EXPECT_EQ(qel_find("/ab"), 1);
    EXPECT_EQ(qel_find("/AB"), 1);
    EXPECT_EQ(qel_find("/Ab"), 1);
}

TEST_F(Reader, NamesMayFillTheirFieldUpToTheNul)
{
    std::string dir(31, 'd'), name(31, 'n');
    ASSERT_EQ(index(image({{dir, name, "x"}})), 1);
    EXPECT_EQ(qel_find((dir + "/" + name).c_str()), 0);
    EXPECT_EQ(qel_find((dir + "/" + name + "n").c_str()), -1);
}

TEST_F(Reader, DamagedSecondHeaderKeepsTheFirst)
{
    const std::string good = image({{"", "one", "1"}, {"snd", "two", "22"}});
    const size_t second = 112;

    struct {
        const char* what;
        size_t at;
        std::string bytes;
        const char* message;
    } cases[] = {
        {"head magic", 0, "QeLx", "head magic is not QeLh"},
        {"tail magic", 100, "QeLh", "tail magic is not QeLf"},
        {"dir name", 36, std::string(32, 'd'), "directory name has no NUL within 32 bytes"},
        {"file name", 68, std::string(32, 'f'), "file name has no NUL within 32 bytes"},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        qel_init();
        std::string img = good;
        img.replace(second + c.at, c.bytes.size(), c.bytes);
        std::string printed;
        EXPECT_EQ(index(img, &printed), -1);
        EXPECT_EQ(printed, std::string("entry 1 at 00000070: ") + c.message + "\n");
        EXPECT_EQ(qel_count(), 1);
        EXPECT_EQ(qel_find("/one"), 0);
        EXPECT_EQ(qel_find("snd/two"), -1);
        EXPECT_EQ(qel_entry(0), held.get());
        EXPECT_EQ(qel_entry(1), nullptr);
    }
}

TEST_F(Reader, EntryIsNullOutsideTheIndex)
{
    EXPECT_EQ(qel_entry(0), nullptr); // nothing indexed yet
    EXPECT_EQ(qel_find("/a"), -1);
    ASSERT_EQ(index(image({{"", "a", "0123456789"}, {"", "b", ""}, {"", "c", "c"}})), 3);
    EXPECT_EQ(qel_entry(0), held.get());
    EXPECT_EQ(qel_entry(1), held.get() + 128);
    EXPECT_EQ(qel_entry(2), held.get() + 240);
    for (int i : {3, 4, -1, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(qel_entry(i), nullptr);
    }
}

TEST_F(Reader, TruncatedImageEndsTheIndexWhereTheDamageIs)
{
    // "/a" with 10 bytes (next 128), then "/b" with 20: 252 bytes in all.
    const std::string img =
        image({{"", "a", std::string(10, 'a')}, {"", "b", std::string(20, 'b')}});
    ASSERT_EQ(img.size(), 252u);
    const char* header0 = "entry 0 at 00000000: header runs past the end of the image\n";
    const char* data0 = "entry 0 at 00000000: data runs past the end of the image\n";
    const char* next0 = "entry 0 at 00000000: next leads past the end of the image\n";
    const char* header1 = "entry 1 at 00000080: header runs past the end of the image\n";
    const char* data1 = "entry 1 at 00000080: data runs past the end of the image\n";

    struct {
        size_t length;
        int count;
        const char* message;
    } cases[] = {
        {0, 0, "image is empty\n"},
        {1, 0, header0},
        {103, 0, header0},
        {104, 0, data0},
        {113, 0, data0},
        {114, 1, next0},
        {127, 1, next0},
        {128, 1, header1},
        {231, 1, header1},
        {232, 1, data1},
        {251, 1, data1},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        qel_init();
        std::string printed;
        EXPECT_EQ(index(img, c.length, &printed), -1);
        EXPECT_EQ(printed, c.message);
        EXPECT_EQ(qel_count(), c.count);
    }
    EXPECT_EQ(index(img), 2);
}

TEST_F(Reader, NextMustPassTheDataAndStayInside)
{
    // The first entry's next, over "/a" with 10 bytes and "/b" with 20 (252 bytes in all).
    const std::string good =
        image({{"", "a", std::string(10, 'a')}, {"", "b", std::string(20, 'b')}});

    struct {
        uint32_t next;
        int rc, count;
        const char* message;
    } cases[] = {
        {0, 1, 1, ""}, // ends the chain: the rest is not looked at
        {128, 2, 2, ""},
        {16, -1, 1, "entry 0 at 00000000: next falls inside the entry\n"}, // would loop
        {113, -1, 1, "entry 0 at 00000000: next falls inside the entry\n"},
        {114, -1, 1, "entry 1 at 00000072: head magic is not QeLh\n"},
        {252, -1, 1, "entry 1 at 000000FC: header runs past the end of the image\n"},
        {253, -1, 1, "entry 0 at 00000000: next leads past the end of the image\n"},
        {0xFFFFFF80u, -1, 1, "entry 0 at 00000000: next leads past the end of the image\n"},
        {0xFFFFFFFFu, -1, 1, "entry 0 at 00000000: next leads past the end of the image\n"},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.next);
        qel_init();
        std::string img = good;
        put32(img, 12, c.next);
        std::string printed;
        EXPECT_EQ(index(img, &printed), c.rc);
        EXPECT_EQ(printed, c.message);
        EXPECT_EQ(qel_count(), c.count);
    }
}

TEST_F(Reader, ChainBackToTheFirstHeaderIsRefused)
{
    // The second entry points back at the first by wrapping 32 bits; read as a forward step
    // it leaves the image.
    std::string img = image({{"", "a", "a"}, {"", "b", "b"}});
    put32(img, 112 + 12, uint32_t(0) - 112);
    std::string printed;
    EXPECT_EQ(index(img, &printed), -1);
    EXPECT_EQ(printed, "entry 1 at 00000070: next leads past the end of the image\n");
    EXPECT_EQ(qel_count(), 2);
}

TEST_F(Reader, IndexesAtMost1023Entries)
{
    std::vector<file> files;
    for (int i = 0; i < 1024; ++i)
        files.push_back({"", "f" + std::to_string(i), ""});
    std::string full = image(files);
    // The 1024th header is not looked at, so damage there changes nothing.
    std::string damaged = full;
    damaged.replace(1023 * 112, 4, "XXXX");
    std::string cut = full.substr(0, 1023 * 112 + 50);
    for (const std::string* img : {&full, &damaged, &cut}) {
        qel_init();
        EXPECT_EQ(index(*img), 1023);
        EXPECT_EQ(qel_count(), 1023);
        EXPECT_EQ(qel_find("/f1022"), 1022);
        EXPECT_EQ(qel_find("/f1023"), -1);
        EXPECT_EQ(qel_entry(1022), held.get() + 1022 * 112);
        EXPECT_EQ(qel_entry(1023), nullptr);
    }
}

TEST_F(Reader, IndexingAgainReplacesTheIndex)
{
    ASSERT_EQ(index(image({{"", "a", ""}, {"", "b", ""}})), 2);
    ASSERT_EQ(index(image({{"", "c", ""}})), 1);
    EXPECT_EQ(qel_find("/b"), -1);
    EXPECT_EQ(qel_find("/c"), 0);
    std::string printed;
    EXPECT_EQ(index("not an image at all, but long enough to hold one header of 104 bytes "
                    "and so its magic words are looked at.",
                    &printed),
              -1);
    EXPECT_EQ(printed, "entry 0 at 00000000: head magic is not QeLh\n");
    EXPECT_EQ(qel_count(), 0);
    EXPECT_EQ(qel_find("/c"), -1);
}

TEST_F(Reader, FstatIsThePlatforms)
{
    std::string dir = make_temp_dir();
    std::ofstream(dir + "/f", std::ios::binary) << "12345";
    int fd = open((dir + "/f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct stat st;
    EXPECT_EQ(qel_fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 5);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    close(fd);
    errno = 0;
    EXPECT_EQ(qel_fstat(-1, &st), -1);
    EXPECT_EQ(errno, EBADF);
    ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

// -t: each writer guarantee broken once, in an image that is otherwise sound.

std::string sound3()
{
    return image({{"", "a", "0123456789"}, {"snd", "b", ""}, {"", "c", "ccc"}});
}

std::string with32(std::string img, size_t at, uint32_t v)
{
    put32(img, at, v);
    return img;
}

std::string with(std::string img, size_t at, const std::string& bytes)
{
    img.replace(at, bytes.size(), bytes);
    return img;
}

std::string many(int n)
{
    std::vector<file> files;
    for (int i = 0; i < n; ++i)
        files.push_back({"", "f" + std::to_string(i), ""});
    return image(files);
}

int test_image(const std::string& img, std::string* printed)
{
    std::unique_ptr<uint8_t[]> buf(new uint8_t[img.size()]);
    std::copy(img.begin(), img.end(), buf.get());
    testing::internal::CaptureStdout();
    int rc = qel_test(buf.get(), img.size());
    *printed = testing::internal::GetCapturedStdout();
    return rc;
}

TEST(Verify, SoundImagesPass)
{
    struct {
        std::string img;
        const char* printed;
    } cases[] = {
        {sound3(), "sound: 3 entries\n"},
        {image({{"", "only", ""}}), "sound: 1 entry\n"},
        {many(1023), "sound: 1023 entries\n"},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.printed);
        std::string printed;
        EXPECT_EQ(test_image(c.img, &printed), 0);
        EXPECT_EQ(printed, c.printed);
    }
}

TEST(Verify, EveryBrokenGuaranteeIsNamed)
{
    // sound3: "/a" at 0 (10 bytes, next 128), "snd/b" at 128 (0 bytes, next 112), "/c" at 240.
    const std::string s = sound3();
    const std::string e1 = "entry 1 at 00000080: ";
    std::string long_name = image({{"", "a", ""}, {"", std::string(30, 'n'), ""}});
    std::string nonzero_fill = s;
    nonzero_fill[127] = 1;

    struct {
        const char* what;
        std::string img;
        std::string printed;
    } cases[] = {
        {"empty", "", "image is empty\n"},
        {"head magic", with(s, 128, "qeLh"), e1 + "head magic is not QeLh\n"},
        {"both magics", with(with(s, 128, "QeLf"), 228, "QeLh"),
         e1 + "head magic is not QeLh\n" + e1 + "tail magic is not QeLf\n"},
        {"header size", with32(s, 128 + 4, 96), e1 + "header size is 96, not 104\n"},
        {"reserved", with(s, 128 + 35, "\x80"), e1 + "reserved bytes are not zero\n"},
        {"dir name without NUL", with(s, 128 + 36, std::string(32, 'd')),
         e1 + "directory name has no NUL within 32 bytes\n"},
        {"file name after NUL", with(s, 128 + 68 + 2, "x"),
         e1 + "file name is not zero after its NUL\n"},
        {"name of 30", long_name, "entry 1 at 00000070: file name is 30 characters, over 29\n"},
        {"hash", with32(s, 128 + 16, 0x12345678),
         e1 + "hash is 12345678, the path gives 0057A4B2\n"},
        {"fill", nonzero_fill, "entry 0 at 00000000: fill is not zero\n"},
        {"next too far",
         with32(image({{"", "a", "0123456789"}, {"", "c", ""}}).insert(128, 16, '\0'), 12, 144),
         "entry 0 at 00000000: next is 144, not 128\n"},
        {"next unrounded",
         with32(image({{"", "a", "0123456789"}, {"", "c", ""}}).erase(114, 14), 12, 114),
         "entry 0 at 00000000: next is 114, not 128\n"},
        {"next inside", with32(s, 12, 100), "entry 0 at 00000000: next falls inside the entry\n"},
        {"next outside", with32(s, 128 + 12, 4096),
         e1 + "next is 4096, not 112\n" + e1 + "next leads past the end of the image\n"},
        {"next 0 early", with32(s, 128 + 12, 0), e1 + "115 bytes follow the last entry's data\n"},
        {"bytes after the last", s + std::string(3, '\0'),
         "entry 2 at 000000F0: 3 bytes follow the last entry's data\n"},
        {"last next not 0", with32(s, 240 + 12, 112),
         "entry 2 at 000000F0: next leads past the end of the image\n"},
        {"data past the end", s.substr(0, s.size() - 1),
         "entry 2 at 000000F0: data runs past the end of the image\n"},
        {"header past the end", s.substr(0, 200), e1 + "header runs past the end of the image\n"},
        {"1024 entries", many(1024), "entry 1023 at 0001BF90: more than 1023 entries\n"},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string printed;
        EXPECT_EQ(test_image(c.img, &printed), -1);
        int lines = int(std::count(c.printed.begin(), c.printed.end(), '\n'));
        EXPECT_EQ(printed, c.printed + "damaged: " + std::to_string(lines) +
                               (lines == 1 ? " problem\n" : " problems\n"));
    }
}

// -e: a write that fails part way leaves no partial file behind.

class Unpack : public Reader {
  protected:
    void SetUp() override
    {
        Reader::SetUp();
        dir = make_temp_dir();
        dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(dir_fd, 0);
    }

    void TearDown() override
    {
        close(dir_fd);
        ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
        Reader::TearDown();
    }

    std::string dir;
    int dir_fd = -1;
};

TEST_F(Unpack, FailedWriteRemovesThePartialFile)
{
    ASSERT_EQ(index(image({{"", "big", std::string(100000, 'b')}, {"sub", "small", "s"}})), 2);
    // A file size limit makes the write fail part way; the signal would otherwise end the run.
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit limit = old_limit;
    limit.rlim_cur = 4096;
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    testing::internal::CaptureStdout();
    int rc = qel_unpack(dir_fd);
    std::string printed = testing::internal::GetCapturedStdout();
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(printed, "'big' not written: File too large\n'sub/small' written\n"
                       "1 of 2 entries written\n");
    EXPECT_NE(access((dir + "/big").c_str(), F_OK), 0);
    EXPECT_EQ(read_file(dir + "/sub/small"), "s");
}

TEST_F(Unpack, LabelDirectoryIsMadeOnceAndReused)
{
    ASSERT_EQ(index(image({{"d", "x", "1"}, {"", "top", "2"}, {"d", "y", ""}})), 3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(qel_unpack(dir_fd), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "'d/x' written\n'top' written\n'd/y' written\n3 of 3 entries written\n");
    EXPECT_EQ(read_file(dir + "/d/x"), "1");
    EXPECT_EQ(read_file(dir + "/top"), "2");
    struct stat st;
    ASSERT_EQ(stat((dir + "/d/y").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(Unpack, ImageThatCannotBeHeldIsReported)
{
    std::ofstream(dir + "/root.bin", std::ios::binary) << image({{"", "a", "a"}});
    qel.alloc_fail_next = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(qel_tool('l', (dir + "/root.bin").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "'" + dir + "/root.bin' malloc error:0kb\n");
    EXPECT_EQ(qel_count(), 0);
}

} // namespace
