// Conditioning stages: DC offset removal, normalisation, silence trimming; in-process.
#include "pcm_trace.h"
#include "pcmtool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class Stages : public testing::Test {
  protected:
    void SetUp() override
    {
        pcm_init();
    }

    void TearDown() override
    {
        pcm_init();
    }

    // Each stage runs on a copy with the pipeline's spare room behind the signal.
    std::vector<int16_t> dc(const std::vector<int16_t>& src)
    {
        pcm.conv_count = int(src.size());
        std::vector<int16_t> dst(src.size() + 1024, 0x5555);
        testing::internal::CaptureStdout();
        EXPECT_EQ(remove_dc(src.data(), dst.data()), 0);
        printed = testing::internal::GetCapturedStdout();
        dst.resize(src.size());
        return dst;
    }

    std::vector<int16_t> normalised(std::vector<int16_t> values)
    {
        pcm.conv_count = int(values.size());
        testing::internal::CaptureStdout();
        normalise(values.data());
        printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(pcm.conv_count, int(values.size()));
        return values;
    }

    // The "max_vol", "avg_vol" and "set_vol" lines of the last normalisation.
    std::string levels()
    {
        std::string out;
        for (const char* key : {"max_vol=", "avg_vol=", "set_vol="}) {
            size_t at = printed.find(key);
            if (at == std::string::npos) return "missing " + std::string(key);
            out += printed.substr(at, printed.find('\n', at) - at) + " ";
        }
        return out;
    }

    std::vector<int16_t> trimmed(const std::vector<int16_t>& src)
    {
        pcm.conv_count = int(src.size());
        std::vector<int16_t> dst(src.size() + 1024, 0x5555);
        testing::internal::CaptureStdout();
        trim_silence(src.data(), dst.data());
        printed = testing::internal::GetCapturedStdout();
        dst.resize(size_t(pcm.conv_count));
        return dst;
    }

    // The pipeline runs these two stages in place, in one buffer with the same spare room.
    std::vector<int16_t> dc_in_place(std::vector<int16_t> v)
    {
        pcm.conv_count = int(v.size());
        v.resize(v.size() + 1024, 0x5555);
        testing::internal::CaptureStdout();
        EXPECT_EQ(remove_dc(v.data(), v.data()), 0);
        printed = testing::internal::GetCapturedStdout();
        v.resize(size_t(pcm.conv_count));
        return v;
    }

    std::vector<int16_t> trimmed_in_place(std::vector<int16_t> v)
    {
        pcm.conv_count = int(v.size());
        v.resize(v.size() + 1024, 0x5555);
        testing::internal::CaptureStdout();
        trim_silence(v.data(), v.data());
        printed = testing::internal::GetCapturedStdout();
        v.resize(size_t(pcm.conv_count));
        return v;
    }

    std::string printed;
};

TEST_F(Stages, DcOffsetIsInterpolatedBetweenBlockCentres)
{
    // Block means 0, 100, 100, 100, 0, ...: the offset fades in over the first half block
    // and out after the last block's centre.
    std::vector<int16_t> out = dc(std::vector<int16_t>(3072, 100));

    struct {
        int index, value;
    } cases[] = {
        {0, 50},  // (0 x 512 + 100 x 512) / 1024
        {1, 50},  // (0 x 511 + 100 x 513) / 1024 = 50
        {511, 1}, // offset 99
        {512, 0},   {1024, 0},
        {2560, 0},  {2600, 4}, // 38 past the last centre: (100 x 986 + 0 x 38) / 1024 = 96
        {3071, 50},            // (100 x 513 + 0 x 511) / 1024
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "sample " << c.index);
        EXPECT_EQ(out[size_t(c.index)], c.value);
    }
    EXPECT_EQ(printed, trace_lines({64, 69, 75, 83, 93, 116, 119}));
}

TEST_F(Stages, DcPartialBlockIsDividedByTheFullBlockLength)
{
    // 500 samples of 100 sum to 50000, mean 48 (not 100); -100 truncates toward zero too.
    struct {
        int16_t level;
        int first, middle, last;
    } cases[] = {
        {100, 76, 65, 53}, // offsets 24, 35, 47
        {-100, -76, -65, -53},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        std::vector<int16_t> out = dc(std::vector<int16_t>(500, c.level));
        EXPECT_EQ(out[0], c.first);
        EXPECT_EQ(out[250], c.middle);
        EXPECT_EQ(out[499], c.last);
    }
}

TEST_F(Stages, DcDifferenceSaturates)
{
    // One full-scale sample against a block mean of the opposite sign: it clips, not wraps.
    std::vector<int16_t> high(1024, 32767), low(1024, -32768);
    high[512] = -32768; // mean 32702
    low[512] = 32767;   // mean -32703
    EXPECT_EQ(dc(high)[512], -32768);
    EXPECT_EQ(dc(low)[512], 32767);
}

// Noise of the given swing around a level, from a fixed seed.
std::vector<int16_t> noise(size_t count, int level, int swing, uint32_t seed)
{
    std::vector<int16_t> v(count);
    for (int16_t& e : v) {
        seed = seed * 1664525u + 1013904223u;
        int s = level + int(seed >> 8) % (2 * swing + 1) - swing;
        e = int16_t(s < -32768 ? -32768 : s > 32767 ? 32767 : s);
    }
    return v;
}

TEST_F(Stages, DcMatchesTheOneByOneFormula)
{
    struct {
        size_t count;
        int level, swing;
    } cases[] = {
        {1, 300, 0},          {511, -200, 50},    {512, 1000, 900},     {513, 1000, 900},
        {1023, -5000, 3000},  {1025, 7000, 7000}, {5037, 20000, 13000}, // rails on both sides
        {9000, -25000, 9000}, {4096, 0, 32767},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " samples around " << c.level);
        std::vector<int16_t> src = noise(c.count, c.level, c.swing, uint32_t(c.count));
        std::vector<int16_t> out = dc(src);
        EXPECT_EQ(dc_in_place(src), out);

        int count = int(c.count), blocks = count / 1024;
        std::vector<int> means(size_t(blocks) + 4, 0);
        for (int i = 0; i < count; ++i)
            means[size_t(i / 1024 + 1)] += src[size_t(i)];
        for (int& m : means)
            m /= 1024;
        for (int i = 0; i < count; ++i) {
            size_t b = size_t(i / 1024);
            int r = i % 1024, offset;
            if (r < 512)
                offset = (means[b] * (512 - r) + means[b + 1] * (512 + r)) / 1024;
            else
                offset = (means[b + 1] * (1024 - (r - 512)) + means[b + 2] * (r - 512)) / 1024;
            int v = std::max(-32768, std::min(32767, src[size_t(i)] - offset));
            ASSERT_EQ(out[size_t(i)], v) << "sample " << i;
        }
    }
}

TEST_F(Stages, DcWithoutRoomForItsMeansLeavesTheSignalAlone)
{
    std::vector<int16_t> src(2000, 300), dst(3024, 0x5555);
    pcm.conv_count = 2000;
    pcm.alloc_fail_next = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(remove_dc(src.data(), dst.data()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), trace_lines({64}) + "malloc dc error\n");
    EXPECT_EQ(dst[0], 0x5555);
}

TEST_F(Stages, NormaliseToNinetyFivePercentOfThePeak)
{
    std::vector<int16_t> v(1000, 0);
    v[10] = 5000;
    v[20] = -19000;
    v[30] = 19000; // equal magnitude: no new peak line
    v[40] = 100;
    std::vector<int16_t> out = normalised(v);
    EXPECT_EQ(levels(), "max_vol=19000 avg_vol=0 set_vol=20000 ");
    EXPECT_EQ(out[20], -31128); // 19000 x 32767 / 20000
    EXPECT_EQ(out[30], 31128);
    EXPECT_EQ(out[10], 8191);
    EXPECT_EQ(out[40], 163);
    EXPECT_EQ(printed, trace_lines({142}) + "peek addr=00000014\npeek addr=00000028\n" +
                           "max_vol=19000\n" + trace_lines({169}) + "avg_vol=0\nset_vol=20000\n" +
                           trace_lines({178, 186}));
}

TEST_F(Stages, NormaliseAmplifiesQuietSignals)
{
    struct {
        int peak, scaled;
    } cases[] = {
        {1, 32767}, {2, 32767}, {18, 32767}, {19, 31128}, {37, 31904}, {-32768, -31129},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.peak);
        std::vector<int16_t> v(50, 0);
        v[7] = int16_t(c.peak);
        EXPECT_EQ(normalised(v)[7], c.scaled);
    }
}

TEST_F(Stages, SilenceIsLeftAsItIs)
{
    std::vector<int16_t> out = normalised(std::vector<int16_t>(400000, 0));
    EXPECT_EQ(printed, trace_lines({142}) + "max_vol=0\n" + trace_lines({169}) +
                           "avg_vol=0\nset_vol=0\n" + trace_lines({178, 186}));
    for (int16_t s : out)
        ASSERT_EQ(s, 0);
}

// One peak per one-second window (22050 samples), placed just after each boundary.
std::vector<int16_t> windowed(size_t count, int16_t peak)
{
    std::vector<int16_t> v(count, 0);
    for (size_t at = 5; at < count; at += 22050)
        v[at] = peak;
    return v;
}

TEST_F(Stages, LoudnessFigureNeedsSixteenCompleteWindows)
{
    struct {
        const char* name;
        size_t count;
        int16_t peak;
        const char* levels;
    } cases[] = {
        // Boundaries at 0 ... 352800: 16 complete windows, divisor 1; tA = 1999 beats tM = 1684.
        {"16 windows", 352801, 1600, "max_vol=1600 avg_vol=1600 set_vol=1999 "},
        {"15 windows", 352800, 1600, "max_vol=1600 avg_vol=0 set_vol=1684 "},
        // 31 windows still divide by 1; 32 divide by 2.
        {"31 windows", 31 * 22050 + 1, 1600, "max_vol=1600 avg_vol=3100 set_vol=3874 "},
        {"32 windows", 32 * 22050 + 1, 1600, "max_vol=1600 avg_vol=1600 set_vol=1999 "},
        // A multiple of 4 lands one below x 5 / 4: 4000 gives 4999, not 5000; 4250 gives 5312.
        {"avg_vol 4000", 352801, 4000, "max_vol=4000 avg_vol=4000 set_vol=4999 "},
        {"avg_vol 4001", 352801, 4001, "max_vol=4001 avg_vol=4000 set_vol=4999 "},
        {"17 windows", 17 * 22050 + 1, 4000, "max_vol=4000 avg_vol=4250 set_vol=5312 "},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        normalised(windowed(c.count, c.peak));
        EXPECT_EQ(levels(), c.levels);
    }
}

TEST_F(Stages, ScalingIsExactForEveryValue)
{
    // Every value the signal can hold, against the integer quotient: set_vol from the peak
    // alone (under 16 windows), and the largest set_vol there can be, from 31 windows whose
    // peaks are all at full scale.
    struct {
        int peak;
        size_t windows;
        int set_vol;
    } cases[] = {
        {1, 0, 1},          {2, 0, 2},         {19, 0, 20},       {37, 0, 38},
        {47, 0, 49},        {94, 0, 98}, // -49 x 32767 / 49: a plain double product falls short
        {1332, 0, 1402},    {19000, 0, 20000}, {32767, 0, 34491}, {32768, 0, 34492},
        {32767, 31, 79321},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "peak " << c.peak << ", " << c.windows << " windows");
        std::vector<int16_t> v;
        for (int a = -c.peak; a <= c.peak && a <= 32767; ++a)
            v.push_back(int16_t(a));
        if (c.windows) {
            // Around the window peaks, so that each window keeps its peak.
            std::vector<int16_t> w = windowed(c.windows * 22050 + 1, 32767);
            size_t at = 6;
            for (int16_t e : v) {
                if (at % 22050 == 5) ++at;
                w[at++] = e;
            }
            v = w;
        }
        std::vector<int16_t> out = normalised(v);
        ASSERT_NE(printed.find("set_vol=" + std::to_string(c.set_vol) + "\n"), std::string::npos)
            << levels();
        for (size_t i = 0; i < v.size(); ++i)
            ASSERT_EQ(out[i], v[i] * 32767 / c.set_vol) << "value " << v[i];
    }
}

TEST_F(Stages, LoudnessFigureCanAttenuate)
{
    // Window peaks of 28000 and a 30000 on a boundary, which counts for max_vol but for no
    // window: tM = 31578, tA = 34999.
    std::vector<int16_t> v = windowed(352801, 28000);
    v[22050] = 30000;
    std::vector<int16_t> out = normalised(v);
    EXPECT_EQ(levels(), "max_vol=30000 avg_vol=28000 set_vol=34999 ");
    EXPECT_EQ(out[22050], 28086); // 30000 x 32767 / 34999
    EXPECT_EQ(out[5], 26214);
}

TEST_F(Stages, TrimKeepsTheLoudStretchBetweenTwoZerosAndASilentTail)
{
    struct {
        const char* name;
        std::vector<int16_t> src;
        std::vector<int16_t> kept; // before the 256 zeros
    } cases[] = {
        {"example", {0, 0, 600, 0, -700, 3, 0}, {0, 0, 600, 0, -700}},
        {"512 is quiet", {512, -512, 513, 0, -513, 512, -512}, {0, 0, 513, 0, -513}},
        {"loud from the start", {600, 0, 700, 1}, {0, 0, 600, 0, 700}},
        {"one loud sample", {1, -32768, 1}, {0, 0, -32768}},
        {"nothing loud", std::vector<int16_t>(1000, -512), {}},
        {"empty", {}, {}},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int16_t> expected = c.kept;
        expected.resize(expected.size() + 256, 0);
        EXPECT_EQ(trimmed(c.src), expected);
        EXPECT_EQ(printed, trace_lines({196, 203, 213, 221, 230}));
        EXPECT_EQ(trimmed_in_place(c.src), expected);
    }
}

TEST_F(Stages, TrimFindsLoudSamplesAtEveryPlace)
{
    // Loud samples at the edges of the blocks the stage scans in, and quiet noise up to the
    // threshold everywhere else.
    for (size_t count : {size_t(63), size_t(64), size_t(65), size_t(640), size_t(1000)}) {
        for (size_t first : {size_t(0), size_t(1), size_t(2), size_t(63), size_t(64), count - 1}) {
            for (size_t last : {first, first + 1, size_t(127), size_t(128), count - 1}) {
                if (last < first || last >= count) continue;
                SCOPED_TRACE(testing::Message() << count << ": " << first << " to " << last);
                std::vector<int16_t> src = noise(count, 0, 512, uint32_t(count + first));
                src[first] = -513;
                src[last] = 513;
                std::vector<int16_t> expected = {0, 0};
                expected.insert(expected.end(), src.begin() + long(first),
                                src.begin() + long(last) + 1);
                expected.resize(expected.size() + 256, 0);
                ASSERT_EQ(trimmed(src), expected);
                ASSERT_EQ(trimmed_in_place(src), expected);
            }
        }
    }
}

// Whole pipeline on a 4-value chunk: one downmixed sample of 4000, smoothed to three of
// 1333; the DC stage takes 1 off (block mean 3999 / 1024 = 3), normalisation scales 1332 by
// 32767 / 1402 and trimming keeps those three: 2 + 3 + 256 = 261 samples, 130 bytes.
class WholePipeline : public Stages {
  protected:
    void load(int dc, int norm, int trim)
    {
        static const uint8_t chunk[8] = {0xA0, 0x0F, 0xA0, 0x0F, 0xA0, 0x0F, 0xA0, 0x0F};
        pcm.wav = static_cast<uint8_t*>(pcm_calloc(sizeof chunk, 1));
        memcpy(pcm.wav, chunk, sizeof chunk);
        pcm.data = pcm.wav;
        pcm.data_size = sizeof chunk;
        pcm.out_len = pcm.data_size / 16 + 1024;
        pcm.out = static_cast<uint8_t*>(pcm_calloc(size_t(pcm.out_len) + 1, 1));
        pcm.dc_flag = dc;
        pcm.norm_flag = norm;
        pcm.trim_flag = trim;
    }

    std::vector<uint8_t> output() const
    {
        return std::vector<uint8_t>(pcm.out, pcm.out + pcm.out_len);
    }
};

TEST_F(WholePipeline, TraceOrderWithEveryStage)
{
    load(1, 1, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(convert(), 0);
    std::string expected =
        trace_lines({243, 248, 253, 255, 257}) + "FREQ. CONV ST_44KHz -> MO_22KHz\n" +
        trace_lines({19}) + "conv_count=4 \n" + trace_lines({27, 38, 51, 260, 262, 264}) +
        "DEDC CONV\n" + trace_lines({64, 69, 75, 83, 93, 116, 119, 275}) + "NORMALIZE\n" +
        trace_lines({142}) + "peek addr=00000000\nmax_vol=1332\n" + trace_lines({169}) +
        "avg_vol=0\nset_vol=1402\n" + trace_lines({178, 186, 283}) + "CUT BLANK\n" +
        trace_lines({196, 203, 213, 221, 230, 292}) + "PCM to ADPCM ENCODE\n" +
        trace_lines({300, 303, 305, 307});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(pcm.conv_count, 261);
    EXPECT_EQ(pcm.out_len, 130);
    EXPECT_EQ(pcm.buff_b, nullptr);
    EXPECT_EQ(pcm.buff_c, nullptr);
}

TEST_F(WholePipeline, FlagsSwitchStagesOnlyWhenExactlyOne)
{
    struct {
        int dc, norm, trim;
        const char* banners;
        int samples;
    } cases[] = {
        {1, 1, 1, "DEDC CONV,NORMALIZE,CUT BLANK,", 261},
        {0, 0, 0, "", 1027},
        {1, 0, 0, "DEDC CONV,", 1027},
        {0, 1, 0, "NORMALIZE,", 1027},
        {0, 0, 1, "CUT BLANK,", 2 + 3 + 256},
        {2, 2, 2, "", 1027}, // a stage runs on exactly 1
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dc << c.norm << c.trim);
        pcm_init();
        load(c.dc, c.norm, c.trim);
        testing::internal::CaptureStdout();
        EXPECT_EQ(convert(), 0);
        std::string out = testing::internal::GetCapturedStdout();
        std::string banners;
        for (const char* b : {"DEDC CONV\n", "NORMALIZE\n", "CUT BLANK\n"}) {
            if (out.find(b) != std::string::npos) banners += std::string(b, strlen(b) - 1) + ",";
        }
        EXPECT_EQ(banners, c.banners);
        EXPECT_EQ(pcm.conv_count, c.samples);
    }
}

TEST_F(WholePipeline, DcMeansFailureKeepsTheRealSignal)
{
    // Third allocation: after both working buffers. The result must equal a run without DC.
    load(0, 1, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(convert(), 0);
    testing::internal::GetCapturedStdout();
    std::vector<uint8_t> without_dc = output();

    pcm_init();
    load(1, 1, 1);
    pcm.alloc_fail_next = 3;
    testing::internal::CaptureStdout();
    EXPECT_EQ(convert(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("DEDC CONV\n" + trace_lines({64}) + "malloc dc error\n" +
                       trace_lines({275}) + "NORMALIZE\n"),
              std::string::npos);
    EXPECT_EQ(output(), without_dc);
}

} // namespace
