// ADPCM encoder, downmix and the conversion pipeline, in-process.
#include "pcm_trace.h"
#include "pcmtool.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Interleaved 16-bit values as they lie in a data chunk.
std::vector<uint8_t> chunk(const std::vector<int>& values)
{
    std::vector<uint8_t> bytes;
    for (int v : values) {
        bytes.push_back(uint8_t(v & 0xFF));
        bytes.push_back(uint8_t((v >> 8) & 0xFF));
    }
    return bytes;
}

class Pipeline : public testing::Test {
  protected:
    void SetUp() override
    {
        pcm_init();
    }

    void TearDown() override
    {
        pcm_init();
    }

    // Loads a data chunk the way the run does, with an output buffer of the run's size
    // filled with a marker so that bytes the encoder leaves alone show.
    void load(const std::vector<uint8_t>& bytes, int dc = 0, int norm = 0, int trim = 0)
    {
        data = bytes;
        pcm.wav = static_cast<uint8_t*>(pcm_calloc(data.size() + 1, 1));
        if (!data.empty()) memcpy(pcm.wav, data.data(), data.size());
        pcm.data = pcm.wav;
        pcm.data_size = int(data.size());
        pcm.out_len = pcm.data_size / 16 + 1024;
        pcm.out = static_cast<uint8_t*>(pcm_calloc(size_t(pcm.out_len) + 1, 1));
        memset(pcm.out, 0xEE, size_t(pcm.out_len) + 1);
        pcm.dc_flag = dc;
        pcm.norm_flag = norm;
        pcm.trim_flag = trim;
    }

    // Runs downmix alone on the loaded chunk; returns the signal it leaves.
    std::vector<int16_t> mixed()
    {
        pcm.conv_count = pcm.data_size / 2;
        std::vector<int16_t> out(size_t(pcm.conv_count) + 2048, 0x5555);
        testing::internal::CaptureStdout();
        downmix(out.data());
        testing::internal::GetCapturedStdout();
        out.resize(size_t(pcm.conv_count));
        return out;
    }

    std::vector<uint8_t> data;
};

TEST(Allocation, BlocksAreZeroFilledWholeAndReleased)
{
    pcm_init();
    // Both sides of the size where blocks stop coming from the heap, and a block that ends
    // just past a 2 MiB boundary.
    for (size_t size : {size_t(1), size_t(4095), (size_t(1) << 20) - 65, size_t(1) << 20,
                        (size_t(3) << 20) + 1}) {
        SCOPED_TRACE(size);
        uint8_t* p = static_cast<uint8_t*>(pcm_calloc(size, 1));
        ASSERT_NE(p, nullptr);
        size_t nonzero = 0;
        for (size_t i = 0; i < size; ++i)
            nonzero += p[i] != 0;
        EXPECT_EQ(nonzero, 0u);
        memset(p, 0xAB, size);
        pcm_free(p);
    }
    EXPECT_EQ(pcm_calloc(SIZE_MAX / 2, 4), nullptr);
    pcm_free(nullptr);

    pcm.alloc_fail_next = 2;
    void* first = pcm_calloc(8, 2);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(pcm_calloc(8, 2), nullptr);
    void* third = pcm_calloc(8, 2);
    EXPECT_NE(third, nullptr);
    pcm_free(first);
    pcm_free(third);
}

TEST(Encoder, WorkedExamples)
{
    struct {
        int predictor, step_index, sample;
        int code, new_predictor, new_step_index;
    } cases[] = {
        {0, 0, 0, 0, 32, 0},     // zero difference steps up by 2 x step; index floors at 0
        {0, 0, 1000, 7, 480, 8}, // m = 15 saturates at 7
        {0, 0, -100, 9, -96, 0},
        {0, 0, 8192, 7, 480, 8}, // m = 128: saturates, not the low bits of q
        {0, 0, -8192, 15, -480, 8},
        {0, 0, -15, 8, -32, 0}, // small negative difference: sign only
        {0, 0, 190, 2, 160, 0},
        {0, 0, 352, 5, 352, 4},
        {0, 24, 3000, 4, 2826, 26},          // step 157: q = 1496 / 157 = 9
        {0, 30, -5000, 12, -5022, 32},       // step 279: q = -2496 / 279 = -8
        {100, 10, 164, 0, 182, 9},           // step 41: q = 32 / 41 truncates to 0
        {32000, 48, 32767, 0, 32767, 47},    // predictor saturates instead of wrapping
        {-32000, 48, -32768, 8, -32768, 47}, // and at the bottom
        {0, 46, 32767, 6, 32767, 48},        // index caps at 48
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "predictor " << c.predictor << ", index " << c.step_index
                                        << ", sample " << c.sample);
        adpcm_state s;
        s.predictor = int16_t(c.predictor);
        s.step_index = int8_t(c.step_index);
        EXPECT_EQ(encode_sample(&s, int16_t(c.sample)), c.code);
        EXPECT_EQ(s.predictor, c.new_predictor);
        EXPECT_EQ(s.step_index, c.new_step_index);
    }
}

TEST(Encoder, StateRunsOnAcrossSamples)
{
    // 1000, 1000, 1000 from rest: the step grows and the predictor closes in.
    // 1: code 7, p 480, idx 8 (step 34). 2: diff 520, t 32 x 8 = 256, q 7, m 3: code 3,
    // p 480 + 34 x 14 = 956, idx 7 (step 31). 3: diff 44, t 16, q 0: code 0, p 1018, idx 6.
    adpcm_state s;
    EXPECT_EQ(encode_sample(&s, 1000), 7);
    EXPECT_EQ(encode_sample(&s, 1000), 3);
    EXPECT_EQ(s.predictor, 956);
    EXPECT_EQ(encode_sample(&s, 1000), 0);
    EXPECT_EQ(s.predictor, 1018);
    EXPECT_EQ(s.step_index, 6);
}

// The quantiser step written out with its divisions, as the format defines it.
int plain_encode(adpcm_state* s, int sample)
{
    static const int steps[49] = {
        16,  17,  19,  21,  23,  25,  28,  31,  34,  37,  41,   45,   50,   55,   60,  66,  73,
        80,  88,  97,  107, 118, 130, 143, 157, 173, 190, 209,  230,  253,  279,  307, 337, 371,
        408, 449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552};
    static const int adjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
    int step = steps[s->step_index];
    int diff = sample - s->predictor;
    int q = diff / 16 * 8 / step;
    int m = std::min(7, diff < 0 ? -q / 2 : q / 2);
    int code = (diff < 0 ? 8 : 0) + m;
    int p = s->predictor + (diff < 0 ? -1 : 1) * step * (4 * m + 2);
    s->predictor = int16_t(std::max(-32768, std::min(32767, p)));
    s->step_index = int8_t(std::max(0, std::min(48, s->step_index + adjust[m])));
    return code;
}

TEST(Encoder, EveryDifferenceAtEveryStepIndex)
{
    for (int index = 0; index < 49; ++index) {
        for (int diff = -65535; diff <= 65535; ++diff) {
            // The predictor at the far rail, so that every difference is a sample.
            adpcm_state fast, plain;
            fast.predictor = plain.predictor = int16_t(diff < 0 ? 32767 : -32768);
            fast.step_index = plain.step_index = int8_t(index);
            int sample = plain.predictor + diff;
            int want = plain_encode(&plain, sample);
            ASSERT_EQ(encode_sample(&fast, int16_t(sample)), want)
                << "index " << index << ", diff " << diff;
            ASSERT_EQ(fast.predictor, plain.predictor) << "index " << index << ", diff " << diff;
            ASSERT_EQ(fast.step_index, plain.step_index) << "index " << index << ", diff " << diff;
        }
    }
}

TEST(Encoder, PairsMatchOneSampleAtATime)
{
    uint32_t x = 99;
    auto noise = [&x](int swing) {
        x = x * 1664525u + 1013904223u;
        return int(x >> 8) % (2 * swing + 1) - swing;
    };

    struct {
        const char* name;
        int bytes;
        std::function<int(int)> sample; // of its index
    } cases[] = {
        {"short", 1000, [](int i) { return int(9000 * std::sin(i * 0.01)); }},
        {"music", 200001,
         [](int i) { return int(12000 * std::sin(i * 0.031) + 6000 * std::sin(i * 0.0071)); }},
        {"quiet music", 150000, [](int i) { return int(300 * std::sin(i * 0.02)); }},
        {"full-scale noise", 100003, [&noise](int) { return noise(32768); }},
        {"silence", 70000, [](int) { return 0; }},
        // At rest on 32 the true predictor swings 64, 32, 64 and a guessed one 32, 64, 32:
        // they never meet, and every stretch is encoded again from its true start.
        {"level 32", 70000, [](int) { return 32; }},
        // Clamps at the top leave the true predictor odd, out of a guess's reach.
        {"square at the rails", 90000, [](int i) { return i / 5000 % 2 ? 32767 : -32768; }},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int16_t> samples(2 * size_t(c.bytes));
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = int16_t(std::max(-32768, std::min(32767, c.sample(int(i)))));
        adpcm_state one, pairs;
        one.predictor = pairs.predictor = 100;
        one.step_index = pairs.step_index = 7;
        std::vector<uint8_t> expected(size_t(c.bytes));
        for (size_t i = 0; i < expected.size(); ++i) {
            int lo = encode_sample(&one, samples[2 * i]);
            expected[i] = uint8_t(lo | encode_sample(&one, samples[2 * i + 1]) << 4);
        }
        std::vector<uint8_t> out(size_t(c.bytes) + 1, 0xEE);
        encode_pairs(&pairs, samples.data(), c.bytes, out.data());
        EXPECT_EQ(out[size_t(c.bytes)], 0xEE);
        out.pop_back();
        ASSERT_EQ(out, expected);
        EXPECT_EQ(pairs.predictor, one.predictor);
        EXPECT_EQ(pairs.step_index, one.step_index);
    }
}

TEST_F(Pipeline, DownmixAveragesTwoFramesWithEachValueQuarteredFirst)
{
    struct {
        const char* name;
        std::vector<int> pair; // two stereo frames: L, R, L, R
        int16_t mixed;
    } cases[] = {
        {"plain", {100, 200, 300, 400}, 250},
        {"quarters truncate", {1, 1, 1, 1}, 0},
        {"toward zero", {-5, -5, -5, -5}, -4},
        {"full scale low", {-32768, -32768, -32768, -32768}, -32768},
        {"full scale high", {32767, 32767, 32767, 32767}, 32764},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Three equal pairs: the three-tap mean at index 2 is the downmixed value itself.
        std::vector<int> values;
        for (int i = 0; i < 3; ++i)
            values.insert(values.end(), c.pair.begin(), c.pair.end());
        load(chunk(values));
        std::vector<int16_t> out = mixed();
        ASSERT_EQ(out.size(), 3u + 1026u);
        EXPECT_EQ(out[2], c.mixed);
        pcm_init();
    }
}

TEST_F(Pipeline, DownmixSmoothsFrontToBackOverTwoLeadingZeros)
{
    // Downmixed 300, 600, -900, -4, then padding.
    load(chunk({300, 300, 300, 300, 600, 600, 600, 600, -900, -900, -900, -900, -5, -5, -5, -5, 7,
                7})); // two values short of a pair: unused
    std::vector<int16_t> out = mixed();
    ASSERT_EQ(out.size(), 4u + 1026u);
    std::vector<int16_t> head(out.begin(), out.begin() + 7);
    // (0+0+300)/3, (0+300+600)/3, (300+600-900)/3, (600-900-4)/3, (-900-4+0)/3, (-4)/3, 0
    EXPECT_EQ(head, (std::vector<int16_t>{100, 300, 0, -101, -301, -1, 0}));
    for (size_t k = 7; k < out.size(); ++k)
        ASSERT_EQ(out[k], 0) << "sample " << k;
}

TEST_F(Pipeline, DownmixMatchesTheOneByOneFormula)
{
    // Full-scale noise with both rails, in lengths around the vector blocks; the one-by-one
    // formula below is how the stage is defined.
    uint32_t x = 7;
    for (int values : {4, 255, 256, 260, 1027, 4 * 5000 + 3}) {
        SCOPED_TRACE(testing::Message() << values << " values");
        std::vector<int> v(static_cast<size_t>(values));
        for (int& e : v) {
            x = x * 1664525u + 1013904223u;
            e = int(int16_t(x >> 16));
        }
        v[0] = -32768;
        v[v.size() - 1] = 32767;
        load(chunk(v));
        std::vector<int16_t> out = mixed();

        std::vector<int> plain = {0, 0};
        for (size_t k = 0; k + 3 < v.size(); k += 4)
            plain.push_back(int16_t(v[k] / 4 + v[k + 1] / 4 + v[k + 2] / 4 + v[k + 3] / 4));
        plain.resize(plain.size() + 1026, 0);
        ASSERT_EQ(out.size(), plain.size() - 2);
        for (size_t k = 0; k < out.size(); ++k)
            ASSERT_EQ(out[k], (plain[k] + plain[k + 1] + plain[k + 2]) / 3) << "sample " << k;
        pcm_init();
    }
}

TEST_F(Pipeline, ChunkOf4000BytesGives1526SamplesAnd763Bytes)
{
    load(std::vector<uint8_t>(4000, 0x11));
    testing::internal::CaptureStdout();
    EXPECT_EQ(convert(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("conv_count=2000 \n"), std::string::npos);
    EXPECT_EQ(pcm.conv_count, 1526);
    EXPECT_EQ(pcm.out_len, 763);
    EXPECT_NE(pcm.out[762], 0xEE);
    EXPECT_EQ(pcm.out[763], 0xEE);
    EXPECT_EQ(pcm.wav, nullptr);
    EXPECT_EQ(pcm.buff_b, nullptr);
    EXPECT_EQ(pcm.buff_c, nullptr);
}

TEST_F(Pipeline, OddSampleCountDropsTheLastSample)
{
    // 8 bytes: one downmixed sample, 1027 in all; 513 bytes and the 514th untouched.
    load(chunk({4000, 4000, 4000, 4000}));
    testing::internal::CaptureStdout();
    EXPECT_EQ(convert(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(pcm.conv_count, 1027);
    EXPECT_EQ(pcm.out_len, 513);
    EXPECT_EQ(pcm.out[513], 0xEE);
}

TEST_F(Pipeline, PacksTwoCodesPerByteLowNibbleFirst)
{
    // Downmixed -124, 379, -366, -112: smoothed -41, 85, -37, -33, ... From rest:
    // -41 -> code 8 (p -32); 85 -> diff 117, q 3, m 1: code 1 (p 64); so byte 0 is 0x18.
    // -37 -> diff -101, q -3, m 1: code 9 (p -32); -33 -> diff -1: code 8; byte 1 is 0x89.
    load(chunk({-2000, 1500, -763, 767, 474, 34, 1711, -699, -1053, -1432, 184, 836, 1421, 103,
                -1343, -630}));
    testing::internal::CaptureStdout();
    EXPECT_EQ(convert(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(pcm.out[0], 0x18);
    EXPECT_EQ(pcm.out[1], 0x89);
}

TEST_F(Pipeline, TinyChunksConvert)
{
    // Under 10 bytes the downmix writes more than sample count + 1024 samples.
    for (size_t size : {0u, 1u, 2u, 6u, 8u, 9u, 10u}) {
        SCOPED_TRACE(testing::Message() << size << " bytes");
        load(std::vector<uint8_t>(size, 0x7F));
        testing::internal::CaptureStdout();
        EXPECT_EQ(convert(), 0);
        testing::internal::GetCapturedStdout();
        int n = int(size) / 2;
        EXPECT_EQ(pcm.conv_count, n / 4 + 1026);
        EXPECT_EQ(pcm.out_len, (n / 4 + 1026) / 2);
        pcm_init();
    }
}

TEST_F(Pipeline, ShortChunksConvertWithEveryStage)
{
    // The trimmed signal lands in the first buffer when the DC stage has swapped them; for
    // chunks under some 700 bytes that is more than n + 1024 samples. A steady level keeps
    // all of it: after the DC stage the padding carries the fading offset, which
    // normalisation makes loud.
    for (size_t size : {0u, 8u, 10u, 200u, 400u, 692u, 696u, 1000u, 4000u}) {
        SCOPED_TRACE(testing::Message() << size << " bytes");
        load(chunk(std::vector<int>(size / 2, 9000)), 1, 1, 1);
        testing::internal::CaptureStdout();
        EXPECT_EQ(convert(), 0);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("CUT BLANK\n"), std::string::npos);
        EXPECT_EQ(pcm.out_len, pcm.conv_count / 2);
        EXPECT_EQ(pcm.out[pcm.out_len], 0xEE);
        pcm_init();
    }
}

TEST_F(Pipeline, TraceWithStagesOff)
{
    load(chunk({1, 2, 3, 4}));
    testing::internal::CaptureStdout();
    EXPECT_EQ(convert(), 0);
    std::string expected = trace_lines({243, 248, 253, 255, 257}) +
                           "FREQ. CONV ST_44KHz -> MO_22KHz\n" + trace_lines({19}) +
                           "conv_count=4 \n" +
                           trace_lines({27, 38, 51, 260, 262, 264, 275, 283, 292}) +
                           "PCM to ADPCM ENCODE\n" + trace_lines({300, 303, 305, 307});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
}

TEST_F(Pipeline, WorkingBufferFailureStopsThePipeline)
{
    struct {
        int fail_next;
        std::string printed;
    } cases[] = {
        {1, trace_lines({243, 248}) + "malloc buff_b error\n"},
        {2, trace_lines({243, 248, 253, 255, 257}) + "FREQ. CONV ST_44KHz -> MO_22KHz\n" +
                trace_lines({19}) + "conv_count=8 \n" + trace_lines({27, 38, 51, 260, 262, 264}) +
                "malloc buff_c error\n"},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "allocation " << c.fail_next << " fails");
        load(chunk({1, 2, 3, 4, 5, 6, 7, 8}));
        pcm.alloc_fail_next = c.fail_next;
        testing::internal::CaptureStdout();
        EXPECT_EQ(convert(), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(pcm.buff_b, nullptr);
        EXPECT_EQ(pcm.buff_c, nullptr);
        EXPECT_EQ(pcm.out[0], 0xEE); // nothing encoded
        pcm_init();
    }
}

} // namespace
