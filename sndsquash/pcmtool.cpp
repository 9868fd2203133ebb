// sndsquash's conversion pipeline, conditioning stages and ADPCM encoder.
#include "pcmtool.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

pcm_state pcm;

// Trace lines name this unit by a constant: build systems pass absolute paths in __FILE__.
static const char trace_unit[] = "pcmtool.cpp";

// Checkpoint numbers; fixed, so that traces from any build line up.
enum checkpoint {
    CP_DOWNMIX_START = 19,
    CP_DOWNMIX_MIXED = 27,
    CP_DOWNMIX_PADDED = 38,
    CP_DOWNMIX_SMOOTHED = 51,
    CP_DC_START = 64,
    CP_DC_CLEAR = 69,
    CP_DC_SUM = 75,
    CP_DC_MEAN = 83,
    CP_DC_SUBTRACT = 93,
    CP_DC_RELEASE = 116,
    CP_DC_END = 119,
    CP_NORM_START = 142,
    CP_NORM_MEASURED = 169,
    CP_NORM_SCALE = 178,
    CP_NORM_END = 186,
    CP_TRIM_START = 196,
    CP_TRIM_COPY = 203,
    CP_TRIM_TAIL = 213,
    CP_TRIM_PAD = 221,
    CP_TRIM_END = 230,
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

// Every block starts with this record; the caller gets the bytes after it.
struct block_head {
    void* base;    // what was mapped or allocated
    size_t mapped; // bytes mapped, or 0 for the heap
};

enum : size_t {
    HEAD_ROOM = 64, // keeps the caller's bytes aligned for vector loads
    HUGE_PAGE = size_t(2) << 20,
    MAP_FROM = size_t(1) << 20,
};

// A fresh 4 KiB page costs a fault on first touch, thousands of them for a signal of tens of
// MB. Large blocks are therefore mapped on their own, 2 MiB aligned, and offered to the
// kernel for huge pages, which arrive zero-filled and fault once per 2 MiB. Sanitizer builds
// keep every block on the heap, where overruns are caught at the exact size.
#if defined(__SANITIZE_ADDRESS__)
#define PCM_HEAP_ONLY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PCM_HEAP_ONLY 1
#endif
#endif

static void* map_block(size_t bytes, block_head* head)
{
#if defined(PCM_HEAP_ONLY)
    (void)bytes;
    (void)head;
    return nullptr;
#else
    if (bytes < MAP_FROM || bytes > SIZE_MAX - 2 * HUGE_PAGE) return nullptr;
    size_t length = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* raw = mmap(nullptr, length + HUGE_PAGE, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    uintptr_t lo = uintptr_t(raw);
    uintptr_t start = (lo + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    if (start > lo) munmap(raw, start - lo);
    if (lo + HUGE_PAGE > start)
        munmap(reinterpret_cast<void*>(start + length), lo + HUGE_PAGE - start);
    void* block = reinterpret_cast<void*>(start);
    madvise(block, length, MADV_HUGEPAGE); // advice: without it the pages are merely small
    head->base = block;
    head->mapped = length;
    return block;
#endif
}

void* pcm_calloc(size_t count, size_t size)
{
    if (pcm.alloc_fail_next > 0 && --pcm.alloc_fail_next == 0) return nullptr;
    if (size != 0 && count > (SIZE_MAX - HEAD_ROOM) / size) return nullptr;
    size_t bytes = count * size + HEAD_ROOM;
    block_head head = {nullptr, 0};
    void* block = map_block(bytes, &head);
    if (!block) {
        block = calloc(bytes, 1);
        if (!block) return nullptr;
        head.base = block;
    }
    memcpy(block, &head, sizeof head);
    return static_cast<uint8_t*>(block) + HEAD_ROOM;
}

void pcm_free(void* block)
{
    if (!block) return;
    block_head head;
    memcpy(&head, static_cast<uint8_t*>(block) - HEAD_ROOM, sizeof head);
    if (head.mapped)
        munmap(head.base, head.mapped);
    else
        free(head.base);
}

size_t pcm_read(int fd, uint8_t* buf, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    return done;
}

void pcm_release_input()
{
    pcm_free(pcm.wav);
    pcm.wav = nullptr;
    pcm.wav_room = pcm.wav_len = 0;
    if (pcm.wav_fd >= 0) close(pcm.wav_fd);
    pcm.wav_fd = -1;
    pcm.data = nullptr;
}

void pcm_init()
{
    pcm_release_input();
    pcm_free(pcm.buff_b);
    pcm_free(pcm.buff_c);
    pcm_free(pcm.out);
    pcm = pcm_state{};
}

static constexpr int16_t step_size[49] = {
    16,  17,  19,  21,  23,  25,  28,  31,  34,  37,  41,   45,   50,   55,   60,   66,  73,
    80,  88,  97,  107, 118, 130, 143, 157, 173, 190, 209,  230,  253,  279,  307,  337, 371,
    408, 449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552,
};

static constexpr int8_t index_adjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

static constexpr int clamp(int v, int lo, int hi)
{
    return v < lo ? lo : v > hi ? hi : v;
}

// What the quantiser needs at one step index, so that a step costs one multiplication and
// no division: m = min(7, 4 * (|diff| / 16) / step) is ((|diff| >> 4) * reciprocal) >> 32,
// exact for |diff| < 65536 since the reciprocal errs upward by less than 2^-32 of a step.
struct alignas(64) quant_row {
    uint32_t reciprocal;
    uint16_t next[8];  // the row after magnitude m, as a byte offset: one addition away
    int32_t delta[16]; // step * (4m + 2) by code, negative for codes 8 to 15
};

struct quant_table {
    quant_row row[49];
};

static constexpr quant_table make_quant_table()
{
    quant_table t{};
    for (int i = 0; i < 49; ++i) {
        t.row[i].reciprocal = uint32_t((uint64_t(1) << 34) / uint32_t(step_size[i]) + 1);
        for (int m = 0; m < 8; ++m) {
            t.row[i].delta[m] = step_size[i] * (4 * m + 2);
            t.row[i].delta[m + 8] = -t.row[i].delta[m];
            t.row[i].next[m] = uint16_t(clamp(i + index_adjust[m], 0, 48) * sizeof(quant_row));
        }
    }
    return t;
}

static constexpr quant_table quant = make_quant_table();

// An encoder's state: the predictor, and the table row of its step index.
struct enc_lane {
    int predictor;
    const quant_row* row;
};

static enc_lane lane_of(const adpcm_state* s)
{
    return {s->predictor, &quant.row[s->step_index]};
}

static bool operator==(const enc_lane& a, const enc_lane& b)
{
    return a.predictor == b.predictor && a.row == b.row;
}

// Saturate rather than wrap: a decoder clamps, and a wrapped predictor never recovers. Rare,
// so kept out of the loop's way.
__attribute__((noinline)) static int saturate_predictor(int p)
{
    return p < 0 ? -32768 : 32767;
}

static inline int quantise(enc_lane* e, int sample)
{
    const quant_row* r = e->row;
    int diff = sample - e->predictor;
    uint32_t a = uint32_t(diff < 0 ? -diff : diff) >> 4;
    uint32_t m = uint32_t((uint64_t(a) * r->reciprocal) >> 32);
    m = m > 7 ? 7 : m;
    int code = int(m) | (diff < 0 ? 8 : 0);
    int p = e->predictor + r->delta[code];
    if (__builtin_expect(uint32_t(p + 32768) > 65535, 0)) p = saturate_predictor(p);
    e->predictor = p;
    e->row =
        reinterpret_cast<const quant_row*>(reinterpret_cast<const char*>(quant.row) + r->next[m]);
    return code;
}

static void store_lane(adpcm_state* s, const enc_lane& e)
{
    s->predictor = int16_t(e.predictor);
    s->step_index = int8_t(e.row - quant.row);
}

int encode_sample(adpcm_state* state, int16_t sample)
{
    enc_lane e = lane_of(state);
    int code = quantise(&e, sample);
    store_lane(state, e);
    return code;
}

static inline uint8_t encode_pair(enc_lane* e, const int16_t* s)
{
    int lo = quantise(e, s[0]);
    return uint8_t(lo | quantise(e, s[1]) << 4);
}

static void encode_run(enc_lane* e, const int16_t* samples, uint8_t* out, int from, int to)
{
    for (int i = from; i < to; ++i)
        out[i] = encode_pair(e, samples + 2 * i);
}

// Each step waits on the one before it, so a single encoder leaves most of the processor
// idle. Four stretches are therefore encoded side by side, all but the first from a guessed
// state. Once a guessed encoder reaches the true state, the two agree on every code after
// it; each guessed stretch is re-encoded from its true starting state up to the first
// checkpoint where they agree, or to its end where they never do, so the result is always
// the one encoder's. The guess has an even predictor: every move is an even number, so only
// a clamp at the top can make the true one odd, and an odd guess would never meet it.
enum { LANES = 4, LANE_MIN = 8192, FIRST_MARK = 256, MARKS = 24 };

void encode_pairs(adpcm_state* state, const int16_t* samples, int bytes, uint8_t* out)
{
    enc_lane truth = lane_of(state);
    int len = bytes / LANES; // bytes per stretch; the last one also takes the rest
    if (len < LANE_MIN) {
        encode_run(&truth, samples, out, 0, bytes);
    } else {
        enc_lane a = truth, b, c, d;
        uint8_t *ob = out + len, *oc = out + 2 * len, *od = out + 3 * len;
        const int16_t *sb = samples + 2 * len, *sc = samples + 4 * len, *sd = samples + 6 * len;
        b = {sb[-1] & ~1, quant.row};
        c = {sc[-1] & ~1, quant.row};
        d = {sd[-1] & ~1, quant.row};
        // Checkpoints at 256, 512, 1024 ... bytes into each stretch.
        enc_lane mark[LANES][MARKS];
        int mark_at[MARKS], marks = 0;
        for (int from = 0, to = FIRST_MARK;; from = to, to *= 2) {
            if (to > len) to = len;
            for (int i = from; i < to; ++i) {
                out[i] = encode_pair(&a, samples + 2 * i);
                ob[i] = encode_pair(&b, sb + 2 * i);
                oc[i] = encode_pair(&c, sc + 2 * i);
                od[i] = encode_pair(&d, sd + 2 * i);
            }
            if (to == len) break;
            mark_at[marks] = to;
            mark[1][marks] = b;
            mark[2][marks] = c;
            mark[3][marks] = d;
            ++marks;
        }
        encode_run(&d, samples, out, LANES * len, bytes);
        enc_lane last[LANES] = {a, b, c, d};
        truth = a;
        for (int k = 1; k < LANES; ++k) {
            int start = k * len, end = k + 1 < LANES ? start + len : bytes, at = start;
            bool met = false;
            for (int t = 0; t < marks && !met; ++t) {
                encode_run(&truth, samples, out, at, start + mark_at[t]);
                at = start + mark_at[t];
                met = truth == mark[k][t];
            }
            if (met)
                truth = last[k];
            else
                encode_run(&truth, samples, out, at, end);
        }
    }
    store_lane(state, truth);
}

static int16_t get16(const uint8_t* p)
{
    return int16_t(uint16_t(p[0] | p[1] << 8));
}

// Moves the `held` unused bytes at *at to the front of pcm.wav and reads the next piece of
// sample data behind them, no more than the `wanted` bytes still to be mixed; the bytes held
// then. Bytes the file no longer delivers read as zeros, as in a buffer filled from it.
static size_t next_piece(const uint8_t** at, size_t held, size_t wanted)
{
    memmove(pcm.wav, *at, held);
    size_t fill = (wanted < pcm.wav_room ? wanted : pcm.wav_room) - held;
    size_t got = pcm_read(pcm.wav_fd, pcm.wav + held, fill);
    memset(pcm.wav + held + got, 0, fill - got);
    pcm.wav_len = held + fill;
    *at = pcm.wav;
    return pcm.wav_len;
}

// Loops over blocks of VEC_BLOCK elements have a fixed trip count, which the compiler turns
// into vector code at -O2; whatever is left after the last whole block goes one by one.
enum { VEC_BLOCK = 64 };

// One mono sample from two stereo frames; each value is quartered, toward zero, before the sum.
static int16_t mix_one(const uint8_t* p)
{
    return int16_t(get16(p) / 4 + get16(p + 2) / 4 + get16(p + 4) / 4 + get16(p + 6) / 4);
}

static void mix(const uint8_t* in, int16_t* __restrict out, size_t count)
{
    size_t k = 0;
    for (; k + VEC_BLOCK <= count; k += VEC_BLOCK) {
        const uint8_t* p = in + 8 * k;
        int16_t quarter[4 * VEC_BLOCK];
        for (int i = 0; i < 4 * VEC_BLOCK; ++i)
            quarter[i] = int16_t(get16(p + 2 * i) / 4);
        for (int j = 0; j < VEC_BLOCK; ++j)
            out[k + size_t(j)] = int16_t((quarter[4 * j] + quarter[4 * j + 1]) +
                                         (quarter[4 * j + 2] + quarter[4 * j + 3]));
    }
    for (; k < count; ++k)
        out[k] = mix_one(in + 8 * k);
}

// sum / 3 toward zero for |sum| <= 3 * 32768: the product misses sum / 3 by under 0.02, and
// the quotient's fraction is 0, 1/3 or 2/3, so a nudge of 1/8 away from zero truncates right.
// Single precision keeps four lanes to a vector where integer division would not vectorise.
static int16_t third(int sum)
{
    float t = float(sum) * (1.0f / 3.0f);
    return int16_t(int(t + (sum < 0 ? -0.125f : 0.125f)));
}

// Three-tap mean in place, front to back: v[k] = (v[k] + v[k + 1] + v[k + 2]) / 3 for k below
// count, each v[k] replaced after it has been read for v[k - 1] and v[k - 2].
static void smooth(int16_t* v, size_t count)
{
    size_t k = 0;
    for (; k + VEC_BLOCK <= count; k += VEC_BLOCK) {
        int16_t* b = v + k;
        for (int j = 0; j < VEC_BLOCK; ++j)
            b[j] = third(b[j] + b[j + 1] + b[j + 2]);
    }
    for (; k < count; ++k)
        v[k] = third(v[k] + v[k + 1] + v[k + 2]);
}

void downmix(int16_t* out)
{
    int n = pcm.conv_count;
    out[0] = 0;
    out[1] = 0;
    trace(CP_DOWNMIX_START);
    printf("conv_count=%d \n", n);
    const uint8_t* p = pcm.data;
    size_t held = pcm.wav_fd < 0 ? size_t(pcm.data_size) : size_t(pcm.wav + pcm.wav_len - p);
    // Mixed sample k lands in out[k + 2], behind the two zeros. Each stretch is smoothed while
    // it is still in the cache: out[k] needs out[k + 2], the last sample mixed so far.
    size_t groups = size_t(n / 4), done = 0;
    while (done < groups) {
        if (held < 8) held = next_piece(&p, held, 8 * (groups - done));
        size_t run = held / 8 < groups - done ? held / 8 : groups - done;
        mix(p, out + 2 + done, run);
        smooth(out + done, run);
        p += 8 * run;
        held -= 8 * run;
        done += run;
    }
    trace(CP_DOWNMIX_MIXED);
    size_t w = 2 + groups;
    memset(out + w, 0, 1026 * sizeof *out);
    w += 1026;
    pcm.conv_count = int(w);
    trace(CP_DOWNMIX_PADDED);
    smooth(out + groups, w - 2 - groups);
    trace(CP_DOWNMIX_SMOOTHED);
    pcm.conv_count = int(w - 2);
}

static int16_t saturate16(int v)
{
    return int16_t(clamp(v, -32768, 32767));
}

static int magnitude(int v)
{
    return v > 0 ? v : -v;
}

enum { DC_BLOCK = 1024 };

static_assert(DC_BLOCK == 1 << 10, "per_block shifts by 10");

static int block_sum(const int16_t* v)
{
    int sum = 0;
    for (int j = 0; j < DC_BLOCK; ++j)
        sum += v[j];
    return sum;
}

// n / DC_BLOCK toward zero, in shifts that vectorise.
static int per_block(int n)
{
    return (n + ((n >> 31) & (DC_BLOCK - 1))) >> 10;
}

// dst[r] = src[r] - (base + r * slope) / DC_BLOCK for r below len, the difference saturated:
// a wrapped difference would turn a loud sample into a click. dst may be src; each block is
// read whole before it is written, which lets the compiler vectorise without asking.
static void subtract_ramp(const int16_t* src, int16_t* dst, int len, int base, int slope)
{
    int r = 0, at = base;
    for (; r + VEC_BLOCK <= len; r += VEC_BLOCK) {
        int16_t in[VEC_BLOCK];
        memcpy(in, src + r, sizeof in);
        for (int j = 0; j < VEC_BLOCK; ++j) {
            dst[r + j] = saturate16(in[j] - per_block(at));
            at += slope;
        }
    }
    for (; r < len; ++r) {
        dst[r] = saturate16(src[r] - per_block(at));
        at += slope;
    }
}

int remove_dc(const int16_t* src, int16_t* dst)
{
    trace(CP_DC_START);
    int count = pcm.conv_count;
    int blocks = count / DC_BLOCK;
    // means[0] and the entries after the last block stay 0: the offset fades in and out.
    int32_t* means = static_cast<int32_t*>(pcm_calloc(size_t(blocks) + 4, sizeof(int32_t)));
    if (!means) {
        printf("malloc dc error\n");
        return -1;
    }
    trace(CP_DC_CLEAR);
    for (int k = 0; k < blocks + 4; ++k)
        means[k] = 0;
    trace(CP_DC_SUM);
    for (int b = 0; b < blocks; ++b)
        means[b + 1] = block_sum(src + size_t(b) * DC_BLOCK);
    for (int i = blocks * DC_BLOCK; i < count; ++i)
        means[blocks + 1] += src[i];
    trace(CP_DC_MEAN);
    // A partial last block is divided by the full length as well.
    for (int k = 0; k < blocks + 4; ++k)
        means[k] /= DC_BLOCK;
    trace(CP_DC_SUBTRACT);
    // Each mean stands at its block's centre; between centres the offset is interpolated,
    // over the first half of block b from mean b - 1 to mean b, over the second half on to
    // mean b + 1 (means[b + 1] is block b's mean).
    for (int b = 0; b * DC_BLOCK < count; ++b) {
        int at = b * DC_BLOCK, len = count - at < DC_BLOCK ? count - at : DC_BLOCK;
        int half = DC_BLOCK / 2;
        subtract_ramp(src + at, dst + at, len < half ? len : half, half * (means[b] + means[b + 1]),
                      means[b + 1] - means[b]);
        if (len > half)
            subtract_ramp(src + at + half, dst + at + half, len - half, DC_BLOCK * means[b + 1],
                          means[b + 2] - means[b + 1]);
    }
    trace(CP_DC_RELEASE);
    pcm_free(means);
    trace(CP_DC_END);
    return 0;
}

enum { WINDOW = 22050, PEAK_RUN = 256 }; // a window is one second at the downmixed rate

// The largest magnitude in v[0 .. len), at full width.
static int peak_of(const int16_t* v, int len)
{
    int16_t hi = 0, lo = 0;
    int i = 0;
    for (; i + VEC_BLOCK <= len; i += VEC_BLOCK) {
        for (int j = 0; j < VEC_BLOCK; ++j) {
            hi = v[i + j] > hi ? v[i + j] : hi;
            lo = v[i + j] < lo ? v[i + j] : lo;
        }
    }
    for (; i < len; ++i) {
        hi = v[i] > hi ? v[i] : hi;
        lo = v[i] < lo ? v[i] : lo;
    }
    return hi > -lo ? hi : -lo;
}

// Raises *max_vol through v[from .. to), telling each new maximum as it is met.
static void note_rises(const int16_t* v, int from, int to, int* max_vol)
{
    for (int i = from; i < to; ++i) {
        int a = magnitude(v[i]);
        if (a > *max_vol) {
            printf("peek addr=%08X\n", unsigned(2 * i));
            *max_vol = a;
        }
    }
}

// v[i] * 32767 / set_vol toward zero, for |v[i]| <= set_vol < 2^17. The double product misses
// the quotient, at most 32767, by under 2^-36, while a quotient that is not whole lies at least
// 1 / set_vol > 2^-17 from the next integer; a nudge of 2^-20 away from zero therefore lifts
// whole quotients clear of rounding below them and truncates every other one right. It
// vectorises; the integer division does not.
static void scale(int16_t* v, int count, int set_vol)
{
    const double r = 1.0 / set_vol;
    int i = 0;
    for (; i + VEC_BLOCK <= count; i += VEC_BLOCK) {
        int32_t t[VEC_BLOCK];
        for (int j = 0; j < VEC_BLOCK; ++j)
            t[j] = v[i + j] * 32767;
        for (int j = 0; j < VEC_BLOCK; ++j) {
            double q = t[j] * r;
            t[j] = int32_t(q + (q < 0 ? -0x1p-20 : 0x1p-20));
        }
        for (int j = 0; j < VEC_BLOCK; ++j)
            v[i + j] = int16_t(t[j]);
    }
    for (; i < count; ++i)
        v[i] = int16_t(v[i] * 32767 / set_vol);
}

void normalise(int16_t* values)
{
    trace(CP_NORM_START);
    int count = pcm.conv_count;
    int max_vol = 0, window_peak = 0, peak_sum = 0, windows = 0;
    for (int at = 0; at < count; at += WINDOW) {
        // The sample on a boundary may be the loudest, but belongs to no window.
        note_rises(values, at, at + 1, &max_vol);
        peak_sum += window_peak / 16;
        window_peak = 0;
        ++windows;
        int end = count - at > WINDOW ? at + WINDOW : count;
        for (int i = at + 1; i < end; i += PEAK_RUN) {
            int len = end - i < PEAK_RUN ? end - i : PEAK_RUN;
            int a = peak_of(values + i, len);
            if (a > max_vol) note_rises(values, i, i + len, &max_vol);
            if (a > window_peak) window_peak = a;
        }
    }
    --windows; // the last window is unfinished
    printf("max_vol=%d\n", max_vol);
    trace(CP_NORM_MEASURED);
    // Under 16 complete windows there is no loudness figure; the peak alone decides.
    int avg_vol = windows / 16 > 0 ? peak_sum / (windows / 16) : 0;
    printf("avg_vol=%d\n", avg_vol);
    // Bring the peak to 95 % or the loudness figure to 80 % of full scale, whichever gains
    // less; 20/19 rounds down and 5/4 rounds up then gives one less, exactly in integers.
    // The figure is at most 31 peaks of 2048 over 1, so set_vol stays below 80000.
    int by_max = int(int64_t(max_vol) * 20 / 19);
    int by_avg = avg_vol > 0 ? int((int64_t(avg_vol) * 5 + 3) / 4 - 1) : 0;
    int set_vol = by_avg > by_max ? by_avg : by_max;
    printf("set_vol=%d\n", set_vol);
    trace(CP_NORM_SCALE);
    if (set_vol > 0) scale(values, count, set_vol);
    trace(CP_NORM_END);
}

enum { QUIET = 512, TAIL = 256 };

static bool loud(int16_t v)
{
    return magnitude(v) > QUIET;
}

// The index of the first loud sample in v[0 .. count), or count.
static int first_loud(const int16_t* v, int count)
{
    int i = 0;
    while (i + VEC_BLOCK <= count && peak_of(v + i, VEC_BLOCK) <= QUIET)
        i += VEC_BLOCK;
    while (i < count && !loud(v[i]))
        ++i;
    return i;
}

// One past the last loud sample in v[0 .. count), or 0.
static int end_of_loud(const int16_t* v, int count)
{
    int i = count;
    while (i >= VEC_BLOCK && peak_of(v + i - VEC_BLOCK, VEC_BLOCK) <= QUIET)
        i -= VEC_BLOCK;
    while (i > 0 && !loud(v[i - 1]))
        --i;
    return i;
}

void trim_silence(const int16_t* src, int16_t* dst)
{
    trace(CP_TRIM_START);
    int count = pcm.conv_count;
    int first = first_loud(src, count);
    trace(CP_TRIM_COPY);
    // Only the stretch up to the last loud sample survives, so only that is moved; the zeros
    // go in after it, since in place they may lie where it was.
    int kept = end_of_loud(src + first, count - first);
    if (kept > 0) memmove(dst + 2, src + first, size_t(kept) * sizeof *dst);
    dst[0] = 0;
    dst[1] = 0;
    int n = 2 + kept;
    trace(CP_TRIM_TAIL);
    if (kept == 0) n = 0; // the two leading zeros are quiet as well
    trace(CP_TRIM_PAD);
    memset(dst + n, 0, TAIL * sizeof *dst);
    pcm.conv_count = n + TAIL;
    trace(CP_TRIM_END);
}

int convert()
{
    trace(CP_CONVERT_START);
    adpcm_state enc;
    trace(CP_ENCODER_RESET);
    pcm.conv_count = pcm.data_size / 2;

    // Besides n + 1024 samples, room for the downmixed signal and 1024 more, as the second
    // buffer has: the trimmed signal, up to 258 samples longer, is written here too, and short
    // chunks need the latter.
    int n = pcm.conv_count;
    size_t mixed = size_t(n / 4) + 1026;
    size_t room = (size_t(n) > mixed ? size_t(n) : mixed) + 1024;
    pcm.buff_b = static_cast<int16_t*>(pcm_calloc(room, sizeof(int16_t)));
    if (!pcm.buff_b) {
        printf("malloc buff_b error\n");
        return -1;
    }
    trace(CP_BUFF_B_READY);
    trace(CP_DOWNMIX_CALL);
    trace(CP_DOWNMIX_BANNER);
    printf("FREQ. CONV ST_44KHz -> MO_22KHz\n");
    downmix(pcm.buff_b);
    trace(CP_DOWNMIX_RETURNED);
    trace(CP_WAV_RELEASE);
    pcm_release_input();
    trace(CP_WAV_RELEASED);

    // The stages all work in place in the first buffer: every fresh page costs a fault, and a
    // second buffer written through would double them. The second buffer is still taken, with
    // room for the trimmed signal as before, so that a run without room for both stops here as
    // it always has; untouched, it holds address space but no memory.
    pcm.buff_c = static_cast<int16_t*>(pcm_calloc(size_t(pcm.conv_count) + 1024, sizeof(int16_t)));
    if (!pcm.buff_c) {
        printf("malloc buff_c error\n");
        pcm_free(pcm.buff_b);
        pcm.buff_b = nullptr;
        return -1;
    }

    // Without its block means the DC stage leaves the signal as it is.
    if (pcm.dc_flag == 1) {
        printf("DEDC CONV\n");
        remove_dc(pcm.buff_b, pcm.buff_b);
    }
    trace(CP_NORMALISE);
    if (pcm.norm_flag == 1) {
        printf("NORMALIZE\n");
        normalise(pcm.buff_b);
    }
    trace(CP_TRIM);
    if (pcm.trim_flag == 1) {
        printf("CUT BLANK\n");
        trim_silence(pcm.buff_b, pcm.buff_b);
    }
    trace(CP_ENCODE);
    printf("PCM to ADPCM ENCODE\n");
    // Low nibble first; an odd last sample has no partner and is dropped.
    int bytes = pcm.conv_count / 2;
    encode_pairs(&enc, pcm.buff_b, bytes, pcm.out);
    trace(CP_ENCODED);
    pcm.out_len = bytes;
    trace(CP_BUFF_B_RELEASE);
    pcm_free(pcm.buff_b);
    pcm.buff_b = nullptr;
    trace(CP_BUFF_C_RELEASE);
    pcm_free(pcm.buff_c);
    pcm.buff_c = nullptr;
    trace(CP_CONVERT_END);
    return 0;
}
