// Command line, WAV loading, tag scan and output writing, in-process.
#include "pcmtool.h"
#include "scratch_files.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string le32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[size_t(i)] = char((v >> (8 * i)) & 0xFF);
    return s;
}

// A 16-bit stereo WAV with `extra` chunk bytes between the format and data chunks; the data
// chunk declares `declared` bytes (default: its real length) and `trailer` follows it.
std::string wav_file(const std::string& data,
                     const std::string& extra = "",
                     int64_t declared = -1,
                     const std::string& trailer = "")
{
    std::string fmt = std::string("\x01\x00\x02\x00", 4) + le32(44100) + le32(44100 * 4) +
                      std::string("\x04\x00\x10\x00", 4);
    std::string body = "WAVEfmt " + le32(16) + fmt + extra + "data" +
                       le32(uint32_t(declared < 0 ? int64_t(data.size()) : declared)) + data +
                       trailer;
    return "RIFF" + le32(uint32_t(body.size())) + body;
}

std::string list_chunk(size_t body_bytes)
{
    return "LIST" + le32(uint32_t(body_bytes)) + std::string(body_bytes, 'i');
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// "-Dの範囲は0～1です。\n" and its siblings, as the bytes the program writes.
std::string range_msg(char letter)
{
    return std::string("-") + letter +
           "\x82\xCC\x94\xCD\x88\xCD\x82\xCD"
           "0\x81\x60"
           "1\x82\xC5\x82\xB7\x81\x42\n";
}

// "オプション(%s)が異常です。\n"
std::string bad_option_msg(const std::string& arg)
{
    return "\x83\x49\x83\x76\x83\x56\x83\x87\x83\x93(" + arg +
           ")\x82\xAA\x88\xD9\x8F\xED\x82\xC5\x82\xB7\x81\x42\n";
}

struct run_result {
    int status;
    std::string out, err;
};

run_result run(std::vector<std::string> args)
{
    args.insert(args.begin(), "sndsquash");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run_result r;
    r.status = sndsquash_main(int(args.size()), argv.data());
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

class Run : public testing::Test {
  protected:
    void SetUp() override
    {
        pcm_init();
        dir = make_temp_dir();
    }

    void TearDown() override
    {
        pcm_init();
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::string dir;
};

TEST(TagScan, FindsTheSizeFieldWithinSixtyFourSkippedBytes)
{
    const std::string samples(8, '\x10');

    struct {
        const char* name;
        std::string file;
        long size_field; // offset, or -1 for refused
        const char* announced;
    } cases[] = {
        {"canonical", wav_file(samples), 40, "'RIFF' 'WAVE' 'fmt ' 'data' "},
        // 24 + 8 + 30 = 62 skipped bytes; 31 makes 63, 32 makes 64 and runs out.
        {"LIST of 30", wav_file(samples, list_chunk(30)), 78, "'RIFF' 'WAVE' 'fmt ' 'data' "},
        {"LIST of 31", wav_file(samples, list_chunk(31)), 79, "'RIFF' 'WAVE' 'fmt ' 'data' "},
        {"LIST of 32", wav_file(samples, list_chunk(32)), -1, "'RIFF' 'WAVE' 'fmt ' "},
        {"LIST of 100", wav_file(samples, list_chunk(100)), -1, "'RIFF' 'WAVE' 'fmt ' "},
        {"no RIFF", std::string(200, 'x'), -1, ""},
        {"text", "hello", -1, ""},
        {"three bytes", "RIF", -1, ""},
        {"tag only", "RIFF", -1, "'RIFF' "},
        {"ends after data tag", wav_file(samples).substr(0, 40), -1,
         "'RIFF' 'WAVE' 'fmt ' 'data' "},
        {"ends inside size", wav_file(samples).substr(0, 43), -1, "'RIFF' 'WAVE' 'fmt ' 'data' "},
        {"bare size field", wav_file("").substr(0, 44), 40, "'RIFF' 'WAVE' 'fmt ' 'data' "},
        {"tags back to back", std::string("RIFFWAVEfmt data\x04\x00\x00\x00", 20), 16,
         "'RIFF' 'WAVE' 'fmt ' 'data' "},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // An exact-size heap copy, so that a read past the end is caught by the sanitizer.
        std::vector<uint8_t> bytes(c.file.begin(), c.file.end());
        testing::internal::CaptureStdout();
        const uint8_t* found = find_data_chunk(bytes.data(), bytes.size());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.announced);
        EXPECT_EQ(found ? found - bytes.data() : -1, c.size_field);
    }
}

TEST(Options, FlagsInputAndErrors)
{
    struct {
        std::vector<std::string> args;
        int result;
        int dc, norm, trim;
        const char* input;
        std::string err;
    } cases[] = {
        {{"-N0", "a.wav"}, -1, 1, 0, 1, "a.wav", ""},
        {{"-D0", "-n0", "-s0"}, -1, 0, 0, 0, "", ""},
        {{"-d1", "-N1", "-S1"}, -1, 1, 1, 1, "", ""},
        {{"-Dx"}, -1, 0, 1, 1, "", ""}, // no digits reads as 0
        {{"-S"}, -1, 1, 1, 0, "", ""},
        {{"-N 1"}, -1, 1, 1, 1, "", ""}, // leading space and sign, as a number is read
        {{"-D+0"}, -1, 0, 1, 1, "", ""},
        {{"-D1x"}, -1, 1, 1, 1, "", ""},
        {{"a.wav", "b.wav"}, -1, 1, 1, 1, "b.wav", ""},
        {{"-D2"}, 1, 1, 1, 1, "", range_msg('D')},
        {{"-N-1"}, 1, 1, 1, 1, "", range_msg('N')},
        {{"-s9"}, 1, 1, 1, 1, "", range_msg('S')},
        {{"-D99999999999999999999"}, 1, 1, 1, 1, "", range_msg('D')},
        {{"-D-99999999999999999999"}, 1, 1, 1, 1, "", range_msg('D')},
        {{"-"}, 1, 1, 1, 1, "", bad_option_msg("-")},
        {{"-x", "a.wav"}, 1, 1, 1, 1, "", bad_option_msg("-x")},
        {{"--D0"}, 1, 1, 1, 1, "", bad_option_msg("--D0")},
        // The first ending option wins; later arguments are not read.
        {{"-D0", "-N5", "-Zz"}, 1, 0, 1, 1, "", range_msg('N')},
    };

    for (const auto& c : cases) {
        std::string joined;
        for (const std::string& a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        pcm_init();
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "sndsquash");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_options(int(argv.size()), argv.data()), c.result);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(pcm.dc_flag, c.dc);
        EXPECT_EQ(pcm.norm_flag, c.norm);
        EXPECT_EQ(pcm.trim_flag, c.trim);
        EXPECT_EQ(pcm.in_name, c.input);
    }
    pcm_init();
}

TEST(Options, EchoEveryArgumentBeforeReadingIt)
{
    pcm_init();
    run_result r = run({"-N0", "", "-D7", "never.wav"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "argv[1]='-N0'\nargv[2]=''\nargv[3]='-D7'\n");
    EXPECT_EQ(r.err, range_msg('D'));
    pcm_init();
}

TEST(Options, HelpAndNoInputShowTheUsage)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{}, {"-h"}, {"-H"}, {"-?"}, {"-D0"}, {"-h", "-x"}}) {
        SCOPED_TRACE(args.empty() ? "no arguments" : args[0]);
        pcm_init();
        run_result r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.rfind("SNDSQUASH WAV to ADPCM Sound converter by Noru. ", 0), 0u);
        EXPECT_NE(r.err.find("\nUsage: SNDSQUASH [Option] [WAV file]\n Option:non\n"),
                  std::string::npos);
        EXPECT_EQ(r.out.find("file open"), std::string::npos);
    }
    pcm_init();
}

TEST_F(Run, InputsThatAreRefused)
{
    const std::string samples(3000, '\x20');
    const std::string wav = wav_file(samples);

    struct {
        const char* name;
        std::string file;
        std::string printed; // after "file open:'...'\n"
        int status;
    } cases[] = {
        {"empty", "", "malloc error:0kb\n", -1},
        {"text", "just some text\n", "file is not WAV !!\n", -1},
        {"LIST of 100", wav_file(samples, list_chunk(100)),
         "'RIFF' 'WAVE' 'fmt ' file is not WAV !!\n", -1},
        {"cut in the size field", wav.substr(0, 42),
         "'RIFF' 'WAVE' 'fmt ' 'data' file is not WAV !!\n", -1},
        // Declared sizes the file cannot hold: the file is left alone.
        {"size equals the file", wav_file(samples, "", int64_t(wav.size())),
         "'RIFF' 'WAVE' 'fmt ' 'data' WAV file data size mismatch !!\ndone\n", 0},
        {"size beyond the file", wav_file(samples, "", 0x7FFFFFFF),
         "'RIFF' 'WAVE' 'fmt ' 'data' WAV file data size mismatch !!\ndone\n", 0},
        {"negative size", wav_file(samples, "", 0x80000000u),
         "'RIFF' 'WAVE' 'fmt ' 'data' WAV file data size mismatch !!\ndone\n", 0},
        {"size -1", wav_file(samples, "", 0xFFFFFFFFu),
         "'RIFF' 'WAVE' 'fmt ' 'data' WAV file data size mismatch !!\ndone\n", 0},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pcm_init();
        std::string in = dir + "/in.wav";
        write_file(in, c.file);
        run_result r = run({in});
        EXPECT_EQ(r.out, "argv[1]='" + in + "'\nfile open:'" + in + "'\n" + c.printed);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(exists(dir + "/in.pcm"));
        EXPECT_EQ(pcm.wav, nullptr);
    }
}

TEST_F(Run, InputsThatCannotBeOpened)
{
    ASSERT_EQ(mkdir((dir + "/folder.wav").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir + "/pipe.wav").c_str(), 0644), 0); // must not wait for a writer
    for (const char* name : {"missing.wav", "folder.wav", "pipe.wav"}) {
        SCOPED_TRACE(name);
        pcm_init();
        std::string in = dir + "/" + name;
        run_result r = run({in});
        EXPECT_EQ(r.out, "argv[1]='" + in + "'\nfile open err:'" + in + "'\n");
        EXPECT_EQ(r.status, -1);
    }
}

TEST_F(Run, DataSizeDecidesWhatIsConverted)
{
    struct {
        const char* name;
        std::string file;
        int values; // 16-bit values handed to the downmix
    } cases[] = {
        {"canonical", wav_file(std::string(4000, '\x01')), 2000},
        {"LIST of 30 before data", wav_file(std::string(4000, '\x01'), list_chunk(30)), 2000},
        // Claims 4043 bytes in a file of 4044: cut to the 4000 that are there.
        {"size past the end", wav_file(std::string(4000, '\x01'), "", 4043), 2000},
        {"odd bytes past the end", wav_file(std::string(3999, '\x01'), "", 4000), 1999},
        {"chunk after data", wav_file(std::string(400, '\x01'), "", -1, list_chunk(600)), 200},
        {"empty data", wav_file(""), 0},
        {"a single byte", wav_file("\x05"), 0},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pcm_init();
        std::string in = dir + "/in.wav";
        write_file(in, c.file);
        // Stages off: the output length then follows from the data size alone.
        run_result r = run({"-D0", "-N0", "-S0", in});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("conv_count=" + std::to_string(c.values) + " \n"), std::string::npos);
        std::string tail = "file open:'" + dir + "/in.pcm'\ndone\n";
        ASSERT_GE(r.out.size(), tail.size());
        EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
        EXPECT_EQ(read_file(dir + "/in.pcm").size(), size_t((c.values / 4 + 1026) / 2));
    }
}

TEST_F(Run, AllocationFailureStopsWithoutWriting)
{
    // File of 3044 bytes, output capacity 3000 / 16 + 1024 = 1211 bytes.
    std::string in = dir + "/in.wav";
    write_file(in, wav_file(std::string(3000, '\x01')));

    struct {
        int fail_next;
        std::string ends_with;
    } cases[] = {
        {1, "file open:'" + in + "'\nmalloc error:2kb\n"},
        {2, "'RIFF' 'WAVE' 'fmt ' 'data' malloc error:1kb\n"},
        {3, "pcmtool.cpp:248\nmalloc buff_b error\n"},
        {4, "pcmtool.cpp:264\nmalloc buff_c error\n"},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "allocation " << c.fail_next << " fails");
        pcm_init();
        pcm.alloc_fail_next = c.fail_next;
        run_result r = run({in});
        EXPECT_EQ(r.status, -1);
        ASSERT_GE(r.out.size(), c.ends_with.size());
        EXPECT_EQ(r.out.substr(r.out.size() - c.ends_with.size()), c.ends_with);
        EXPECT_FALSE(exists(dir + "/in.pcm"));
        EXPECT_EQ(pcm.wav, nullptr);
        EXPECT_EQ(pcm.out, nullptr);
    }
}

// Deterministic 16-bit values with some swing, so that every stage has work to do.
std::string samples_bytes(size_t bytes)
{
    std::string s(bytes, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < bytes; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = char(x >> 24);
    }
    return s;
}

// The run's stdout less what only a run prints: arguments, file lines and "done".
std::string conversion_lines(const std::string& out)
{
    std::string kept;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        end = end == std::string::npos ? out.size() : end + 1;
        std::string line = out.substr(at, end - at);
        if (line.rfind("argv[", 0) != 0 && line.rfind("file open:", 0) != 0 && line != "done\n")
            kept += line;
        at = end;
    }
    return kept;
}

TEST_F(Run, InputReadPieceByPieceConvertsAsInputHeldWhole)
{
    // Over 2 MiB of samples, so that the data arrives in several pieces; the chunk before the
    // data and the odd tail move the piece boundaries against the 8-byte frame pairs.
    struct {
        size_t extra, data_bytes;
    } cases[] = {{0, 2500000}, {3, 2500003}, {30, 2400001}, {1, 3000006}};

    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.extra << " extra, " << c.data_bytes << " bytes");
        std::string file =
            wav_file(samples_bytes(c.data_bytes), c.extra ? list_chunk(c.extra) : "");
        std::string in = dir + "/in.wav";
        write_file(in, file);
        pcm_init();
        run_result r = run({in});
        ASSERT_EQ(r.status, 0);
        std::string streamed = read_file(dir + "/in.pcm");

        // The same conversion over the file held whole in memory.
        pcm_init();
        std::vector<uint8_t> bytes(file.begin(), file.end());
        testing::internal::CaptureStdout();
        const uint8_t* size_field = find_data_chunk(bytes.data(), bytes.size());
        ASSERT_NE(size_field, nullptr);
        pcm.data = size_field + 4;
        pcm.data_size = int(c.data_bytes);
        pcm.out_len = pcm.data_size / 16 + 1024;
        pcm.out = static_cast<uint8_t*>(pcm_calloc(size_t(pcm.out_len) + 1, 1));
        EXPECT_EQ(convert(), 0);
        std::string whole_out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::string(pcm.out, pcm.out + pcm.out_len), streamed);
        EXPECT_EQ(conversion_lines(r.out), whole_out);
    }
}

TEST_F(Run, MemoryConversionPrintsWhatARunPrints)
{
    const std::string samples = samples_bytes(6000);

    struct {
        const char* name;
        std::string file;
        int status; // of the run; the memory conversion gives -1 where the run does
    } cases[] = {
        {"converts", wav_file(samples), 0},
        {"LIST before data", wav_file(samples, list_chunk(20)), 0},
        {"size past the end", wav_file(samples, "", 6100), 0},
        {"empty", "", -1},
        {"text", "just some text\n", -1},
        {"cut in the size field", wav_file(samples).substr(0, 42), -1},
        {"size beyond the file", wav_file(samples, "", 0x7FFFFFFF), 0},
        {"negative size", wav_file(samples, "", 0x80000000u), 0},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pcm_init();
        std::string in = dir + "/in.wav";
        write_file(in, c.file);
        run_result r = run({in});
        EXPECT_EQ(r.status, c.status);
        unlink((dir + "/in.pcm").c_str());

        // Twice over, as a fuzzer calls it: each call starts afresh and leaves nothing held.
        for (int round = 0; round < 2; ++round) {
            pcm_init();
            std::vector<uint8_t> bytes(c.file.begin(), c.file.end());
            testing::internal::CaptureStdout();
            int status = pcm_convert_memory(bytes.data(), bytes.size());
            EXPECT_EQ(testing::internal::GetCapturedStdout(), conversion_lines(r.out));
            EXPECT_EQ(status, c.status);
            EXPECT_EQ(pcm.wav, nullptr);
            EXPECT_EQ(pcm.out, nullptr);
            EXPECT_EQ(pcm.buff_b, nullptr);
            EXPECT_EQ(pcm.buff_c, nullptr);
        }
        EXPECT_FALSE(exists(dir + "/in.pcm"));
    }
}

TEST_F(Run, OutputNameReplacesOnlyAThreeLetterExtensionOfTheLastComponent)
{
    ASSERT_EQ(mkdir((dir + "/dd.x").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    // A path well past 256 characters, through folders whose names hold dots.
    std::string long_path;
    for (char c : {'p', 'q', 'r'}) {
        long_path += std::string(120, c) + ".d/";
        ASSERT_EQ(mkdir((dir + "/" + long_path).c_str(), 0755), 0);
    }

    struct {
        std::string input, output;
    } cases[] = {
        {"song.wav", "song.pcm"},
        {"SONG.WAV", "SONG.pcm"},
        {"x.wave", "x.wave.pcm"},
        {".wav", ".wav.pcm"},
        {"a.b.wav", "a.b.pcm"},
        {"noext", "noext.pcm"},
        {"ab.c", "ab.c.pcm"},
        {"dd.x/y", "dd.x/y.pcm"},
        {"dd.x/long.wav", "dd.x/long.pcm"},
        {"sub/.wav", "sub/.wav.pcm"}, // the same name whether reached by path or not
        {long_path + "take.wav", long_path + "take.pcm"},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 40));
        pcm_init();
        pcm.in_name = dir + "/" + c.input;
        uint8_t bytes[3] = {1, 2, 3};
        pcm.out = bytes;
        pcm.out_len = 3;
        testing::internal::CaptureStdout();
        EXPECT_EQ(write_output(), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "file open:'" + dir + "/" + c.output + "'\n");
        pcm.out = nullptr;
        EXPECT_EQ(read_file(dir + "/" + c.output), "\x01\x02\x03");
    }
}

TEST_F(Run, OutputThatCannotBeCreatedFailsTheRun)
{
    std::string in = dir + "/in.wav";
    write_file(in, wav_file(std::string(64, '\x01')));
    ASSERT_EQ(mkdir((dir + "/in.pcm").c_str(), 0755), 0);
    run_result r = run({in});
    std::string tail = "file open err:'" + dir + "/in.pcm'\ndone\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.status, -1);
}

TEST_F(Run, ShortWriteLeavesNoFileBehind)
{
    std::string in = dir + "/in.wav";
    write_file(in, wav_file(std::string(40000, '\x01')));
    // Files may grow to 2 KiB: enough for the captured trace, not for the 3013 bytes that
    // 40000 bytes of samples give with the stages off.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 2048;
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    run_result r = run({"-D0", "-N0", "-S0", in});
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);

    std::string out_name = dir + "/in.pcm";
    std::string tail = "file open:'" + out_name + "'\nfile write err:'" + out_name + "'\ndone\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.status, -1);
    EXPECT_FALSE(exists(out_name));
}

TEST_F(Run, FailedWriteKeepsWhatIsNotARegularFile)
{
    std::string out_name = dir + "/in.pcm";
    ASSERT_EQ(symlink("/dev/full", out_name.c_str()), 0);
    pcm.in_name = dir + "/in.wav";
    uint8_t bytes[3] = {1, 2, 3};
    pcm.out = bytes;
    pcm.out_len = 3;
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_output(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "file open:'" + out_name + "'\nfile write err:'" + out_name + "'\n");
    pcm.out = nullptr;
    EXPECT_TRUE(exists(out_name));
    EXPECT_TRUE(exists("/dev/full"));
}

} // namespace
