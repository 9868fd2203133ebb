// sndsquash's conversion pipeline, conditioning stages and ADPCM encoder.
#include "pcmtool.h"

#include <cstdio>
#include <cstdlib>

pcm_state pcm;

// Trace lines name this unit by a constant: build systems pass absolute paths in __FILE__.
static const char trace_unit[] = "pcmtool.cpp";

// Checkpoint numbers; fixed, so that traces from any build line up.
enum checkpoint {
    CP_DOWNMIX_START = 19,
    CP_DOWNMIX_MIXED = 27,
    CP_DOWNMIX_PADDED = 38,
    CP_DOWNMIX_SMOOTHED = 51,
    CP_CONVERT_START = 243,
    CP_ENCODER_RESET = 248,
    CP_BUFF_B_READY = 253,
    CP_DOWNMIX_CALL = 255,
    CP_DOWNMIX_BANNER = 257,
    CP_DOWNMIX_RETURNED = 260,
    CP_WAV_RELEASE = 262,
    CP_WAV_RELEASED = 264,
    CP_NORMALISE = 275,
    CP_TRIM = 283,
    CP_ENCODE = 292,
    CP_ENCODED = 300,
    CP_BUFF_B_RELEASE = 303,
    CP_BUFF_C_RELEASE = 305,
    CP_CONVERT_END = 307,
};

static void trace(checkpoint at)
{
    printf("%s:%d\n", trace_unit, int(at));
}

void* pcm_calloc(size_t count, size_t size)
{
    if (pcm.alloc_fail_next > 0 && --pcm.alloc_fail_next == 0) return nullptr;
    return calloc(count, size);
}

void pcm_init()
{
    free(pcm.wav);
    free(pcm.buff_b);
    free(pcm.buff_c);
    free(pcm.out);
    pcm = pcm_state{};
}

static const int16_t step_size[49] = {
    16,  17,  19,  21,  23,  25,  28,  31,  34,  37,  41,   45,   50,   55,   60,   66,  73,
    80,  88,  97,  107, 118, 130, 143, 157, 173, 190, 209,  230,  253,  279,  307,  337, 371,
    408, 449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552,
};

static const int8_t index_adjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// Reconstructed difference per code, in steps: +-(4m + 2), sign in bit 3.
static const int8_t code_steps[16] = {
    2, 6, 10, 14, 18, 22, 26, 30, -2, -6, -10, -14, -18, -22, -26, -30,
};

static int clamp(int v, int lo, int hi)
{
    return v < lo ? lo : v > hi ? hi : v;
}

int encode_sample(adpcm_state* state, int16_t sample)
{
    int step = step_size[state->step_index];
    int diff = sample - state->predictor;
    int q = diff / 16 * 8 / step;
    int sign = 0, m = q / 2;
    if (diff < 0) {
        sign = 8;
        m = -q / 2;
    }
    if (m > 7) m = 7;
    int code = sign + m;
    // Saturate rather than wrap: a decoder clamps, and a wrapped predictor never recovers.
    state->predictor = int16_t(clamp(state->predictor + step * code_steps[code], -32768, 32767));
    state->step_index = int8_t(clamp(state->step_index + index_adjust[m], 0, 48));
    return code;
}

static int16_t get16(const uint8_t* p)
{
    return int16_t(uint16_t(p[0] | p[1] << 8));
}

void downmix(const uint8_t* data, int16_t* out)
{
    int n = pcm.conv_count;
    out[0] = 0;
    out[1] = 0;
    int w = 2;
    trace(CP_DOWNMIX_START);
    printf("conv_count=%d \n", n);
    // Two stereo frames make one mono sample; each value is quartered before summing.
    for (int k = 0; k < n / 4; ++k) {
        const uint8_t* p = data + 8 * size_t(k);
        out[w++] = int16_t(get16(p) / 4 + get16(p + 2) / 4 + get16(p + 4) / 4 + get16(p + 6) / 4);
    }
    trace(CP_DOWNMIX_MIXED);
    for (int k = 0; k < 1026; ++k)
        out[w++] = 0;
    pcm.conv_count = w;
    trace(CP_DOWNMIX_PADDED);
    // Three-tap mean, in place: out[k + 1] and out[k + 2] are still unsmoothed here.
    for (int k = 0; k < w - 2; ++k)
        out[k] = int16_t((out[k] + out[k + 1] + out[k + 2]) / 3);
    trace(CP_DOWNMIX_SMOOTHED);
    pcm.conv_count = w - 2;
}

int convert()
{
    trace(CP_CONVERT_START);
    adpcm_state enc;
    trace(CP_ENCODER_RESET);
    pcm.conv_count = pcm.data_size / 2;

    // The downmix writes n / 4 + 1028 samples, more than n + 1024 for the tiniest chunks.
    int n = pcm.conv_count;
    size_t room = size_t(n) + 1024;
    if (room < size_t(n / 4) + 1028) room = size_t(n / 4) + 1028;
    pcm.buff_b = static_cast<int16_t*>(pcm_calloc(room, sizeof(int16_t)));
    if (!pcm.buff_b) {
        printf("malloc buff_b error\n");
        return -1;
    }
    trace(CP_BUFF_B_READY);
    trace(CP_DOWNMIX_CALL);
    trace(CP_DOWNMIX_BANNER);
    printf("FREQ. CONV ST_44KHz -> MO_22KHz\n");
    downmix(pcm.data, pcm.buff_b);
    trace(CP_DOWNMIX_RETURNED);
    trace(CP_WAV_RELEASE);
    free(pcm.wav);
    pcm.wav = nullptr;
    pcm.data = nullptr;
    trace(CP_WAV_RELEASED);

    // Room for the trimmed signal too: two leading zeros and a 256-sample tail.
    pcm.buff_c = static_cast<int16_t*>(pcm_calloc(size_t(pcm.conv_count) + 1024, sizeof(int16_t)));
    if (!pcm.buff_c) {
        printf("malloc buff_c error\n");
        free(pcm.buff_b);
        pcm.buff_b = nullptr;
        return -1;
    }

    trace(CP_NORMALISE);
    trace(CP_TRIM);
    trace(CP_ENCODE);
    printf("PCM to ADPCM ENCODE\n");
    // Low nibble first; an odd last sample has no partner and is dropped.
    int bytes = pcm.conv_count / 2;
    for (int i = 0; i < bytes; ++i) {
        int lo = encode_sample(&enc, pcm.buff_b[2 * i]);
        int hi = encode_sample(&enc, pcm.buff_b[2 * i + 1]);
        pcm.out[i] = uint8_t(lo | hi << 4);
    }
    trace(CP_ENCODED);
    pcm.out_len = bytes;
    trace(CP_BUFF_B_RELEASE);
    free(pcm.buff_b);
    pcm.buff_b = nullptr;
    trace(CP_BUFF_C_RELEASE);
    free(pcm.buff_c);
    pcm.buff_c = nullptr;
    trace(CP_CONVERT_END);
    return 0;
}
