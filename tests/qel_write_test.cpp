// Name hash and image writer, in-process.
#include "qel.h"
#include "scratch_files.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

uint32_t field(const std::string& img, size_t off)
{
    return qel_get32(reinterpret_cast<const uint8_t*>(img.data()) + off);
}

class Writer : public testing::Test {
  protected:
    void SetUp() override
    {
        qel_init();
        dir = make_temp_dir();
        image = dir + "/root.bin";
    }

    void TearDown() override
    {
        qel_init();
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    // Packs files of the given sizes (contents 'a', 'b', ...) at the top level.
    std::string pack(const std::vector<size_t>& sizes)
    {
        EXPECT_EQ(qel_open(image.c_str()), 0);
        for (size_t i = 0; i < sizes.size(); ++i) {
            std::string name(1, char('a' + i));
            write_file(dir + "/" + name, std::string(sizes[i], name[0]));
            EXPECT_EQ(qel_add((dir + "/" + name).c_str(), name.c_str(), ""), 0);
        }
        EXPECT_EQ(qel_finish(), 0);
        return read_file(image);
    }

    std::string dir, image;
};

TEST(Hash, Examples)
{
    struct {
        const char* text;
        uint32_t hash;
    } cases[] = {
        {"", 0x00000000},
        {"abc", 0x00004563},
        {"ABC", 0x00004563},
        {"/abc", 0x0000B563},
        {"ab", 0x00000452},
        {"a b", 0x00004142},
        {"/a[1]", 0x000B4A4D},
        {"/a{1}", 0x000B4A4D},
        {"snd/title", 0xA4A0C0D2},
        // The high bit stays; only bit 5 is cleared.
        {"\xE0", 0x000000C0},
        {"\xC0", 0x000000C0},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(qel_hash(c.text), c.hash);
    }
}

TEST_F(Writer, TwoFilesOf10And20BytesGive252Bytes)
{
    std::string img = pack({10, 20});
    ASSERT_EQ(img.size(), 252u);
    EXPECT_EQ(img.substr(0, 4), "QeLh");
    EXPECT_EQ(field(img, 4), 104u);
    EXPECT_EQ(field(img, 8), 10u);
    EXPECT_EQ(field(img, 12), 128u);
    EXPECT_EQ(field(img, 16), qel_hash("/a"));
    EXPECT_EQ(img.substr(20, 16), std::string(16, '\0'));
    EXPECT_EQ(img.substr(36, 32), std::string(32, '\0')); // top-level label is empty
    EXPECT_EQ(img.substr(68, 32), "a" + std::string(31, '\0'));
    EXPECT_EQ(img.substr(100, 4), "QeLf");
    EXPECT_EQ(img.substr(104, 10), std::string(10, 'a'));
    EXPECT_EQ(img.substr(114, 14), std::string(14, '\0'));
    EXPECT_EQ(img.substr(128, 4), "QeLh");
    EXPECT_EQ(field(img, 128 + 8), 20u);
    EXPECT_EQ(field(img, 128 + 12), 0u);
    EXPECT_EQ(img.substr(128 + 104), std::string(20, 'b'));
}

TEST_F(Writer, NextAndFillFollowTheDataSize)
{
    struct {
        size_t size;
        uint32_t next;
    } cases[] = {{0, 112}, {8, 112}, {9, 128}, {24, 128}, {25, 144}};

    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        qel_init();
        std::string img = pack({c.size, 1});
        ASSERT_EQ(img.size(), c.next + 104 + 1);
        EXPECT_EQ(field(img, 8), c.size);
        EXPECT_EQ(field(img, 12), c.next);
        EXPECT_EQ(img.substr(104 + c.size, c.next - 104 - c.size),
                  std::string(c.next - 104 - c.size, '\0'));
        EXPECT_EQ(img.substr(c.next, 4), "QeLh");
    }
}

TEST_F(Writer, SingleFileImageEndsWithItsData)
{
    for (size_t size : {0, 5, 16}) {
        SCOPED_TRACE(size);
        qel_init();
        std::string img = pack({size});
        EXPECT_EQ(img.size(), 104 + size);
        EXPECT_EQ(field(img, 12), 0u);
    }
}

TEST_F(Writer, AddPrintsTheHashOfDirAndName)
{
    ASSERT_EQ(qel_open(image.c_str()), 0);
    write_file(dir + "/title", "x");
    testing::internal::CaptureStdout();
    EXPECT_EQ(qel_add((dir + "/title").c_str(), "title", "snd"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "hash:A4A0C0D2\n");
    EXPECT_EQ(qel_finish(), 0);
    std::string img = read_file(image);
    EXPECT_EQ(img.substr(36, 32), "snd" + std::string(29, '\0'));
}

TEST_F(Writer, Keeps1023FilesAndSilentlyRefusesMore)
{
    ASSERT_EQ(qel_open(image.c_str()), 0);
    std::string file = dir + "/f";
    write_file(file, "");
    testing::internal::CaptureStdout();
    for (int i = 0; i < 1023; ++i)
        ASSERT_EQ(qel_add(file.c_str(), "f", ""), 0);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.size(), 1023u * 14);
    testing::internal::CaptureStdout();
    EXPECT_EQ(qel_add(file.c_str(), "f", ""), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(qel.file_count, 1023);
    EXPECT_EQ(qel_finish(), 0);
    EXPECT_EQ(read_file(image).size(), 1022u * 112 + 104);
}

TEST_F(Writer, SkipsWhatCannotBeReadWithoutAWord)
{
    ASSERT_EQ(qel_open(image.c_str()), 0);
    std::string fifo = dir + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(qel_add((dir + "/missing").c_str(), "missing", ""), -1);
    EXPECT_EQ(qel_add(fifo.c_str(), "pipe", ""), -1); // must not block waiting for a writer
    EXPECT_EQ(qel_add(dir.c_str(), "dir", ""), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(qel.file_count, 0);
}

TEST_F(Writer, FileWhoseContentsCannotBeHeldIsSkippedWithAMessage)
{
    ASSERT_EQ(qel_open(image.c_str()), 0);
    qel.fd_budget = 0; // no descriptors to spare: contents are read at once
    write_file(dir + "/big", std::string(4096, 'x'));
    write_file(dir + "/ok", "ok");
    qel.alloc_fail_next = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(qel_add((dir + "/big").c_str(), "big", ""), -1);
    EXPECT_EQ(qel_add((dir + "/ok").c_str(), "ok", ""), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "'" + dir + "/big' malloc error:4kb\nhash:00000BBB\n");
    EXPECT_EQ(qel_finish(), 0);
    EXPECT_EQ(read_file(image).size(), 106u);
}

// Size and hash are fixed when a file is added, whenever its bytes are read.
TEST_F(Writer, FileThatChangesAfterItWasAddedKeepsItsRecordedSize)
{
    for (int budget : {int(QEL_TABLE_SIZE), 0}) {
        SCOPED_TRACE(budget);
        qel_init();
        ASSERT_EQ(qel_open(image.c_str()), 0);
        qel.fd_budget = budget;
        write_file(dir + "/a", std::string(100, 'a'));
        write_file(dir + "/b", std::string(20, 'b'));
        testing::internal::CaptureStdout();
        ASSERT_EQ(qel_add((dir + "/a").c_str(), "a", ""), 0);
        ASSERT_EQ(qel_add((dir + "/b").c_str(), "b", ""), 0);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(truncate((dir + "/a").c_str(), 10), 0);
        write_file(dir + "/b", std::string(30, 'c'));
        ASSERT_EQ(qel_finish(), 0);
        std::string img = read_file(image);
        ASSERT_EQ(img.size(), 208u + 104 + 20);
        EXPECT_EQ(field(img, 8), 100u);
        if (budget) {
            EXPECT_EQ(img.substr(104, 100), std::string(10, 'a') + std::string(90, '\0'));
        } else {
            EXPECT_EQ(img.substr(104, 100), std::string(100, 'a'));
        }
        EXPECT_EQ(field(img, 208 + 8), 20u);
        EXPECT_EQ(img.substr(208 + 104), std::string(20, budget ? 'c' : 'b'));
    }
}

TEST_F(Writer, NoFilesLeavesAnEmptyImage)
{
    write_file(image, "old contents");
    ASSERT_EQ(qel_open(image.c_str()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(qel_finish(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error:file 0\n");
    EXPECT_EQ(read_file(image), "");
}

TEST_F(Writer, FailedWriteIsReported)
{
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(qel_open("/dev/full"), 0);
    write_file(dir + "/a", std::string(100000, 'a'));
    testing::internal::CaptureStdout();
    ASSERT_EQ(qel_add((dir + "/a").c_str(), "a", ""), 0);
    EXPECT_EQ(qel_finish(), -1);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "hash:000000B1\n'/dev/full' could not be written: No space left on "
                       "device\n")
        << printed;
}

TEST_F(Writer, OpenFailureIsReported)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(qel_open((dir + "/no/such/root.bin").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " fopen err:" + dir + "/no/such/root.bin\n");
}

} // namespace
