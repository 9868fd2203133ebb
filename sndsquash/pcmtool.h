// sndsquash's conversion pipeline, conditioning stages and ADPCM encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Conversion state; one per process.
struct pcm_state {
    std::string in_name; // the input WAV as named on the command line
    // The input's first bytes, then its sample data a piece at a time; released after the
    // downmix. While wav_fd is open the data continues there after wav + wav_len; when it is
    // closed all data_size bytes lie at data.
    uint8_t* wav = nullptr;
    size_t wav_room = 0, wav_len = 0; // bytes wav can hold, bytes it holds
    int wav_fd = -1;
    const uint8_t* data = nullptr; // first sample, inside wav or in bytes handed over whole
    int data_size = 0;             // bytes of sample data from data on
    int conv_count = 0;            // samples in the current signal
    int16_t* buff_b = nullptr;     // the current signal
    int16_t* buff_c = nullptr;     // taken beside it; the stages work in place (convert)
    int dc_flag = 1, norm_flag = 1, trim_flag = 1;
    uint8_t* out = nullptr;  // ADPCM bytes
    int out_len = 0;         // room in out until the encoder sets the bytes written
    int alloc_fail_next = 0; // tests: the n-th allocation from now fails (0: never)
};

extern pcm_state pcm;
void pcm_init(); // frees what pcm still owns, then pcm = pcm_state{}

// Zero-filled; every buffer of the converter comes from here and goes back through pcm_free.
void* pcm_calloc(size_t count, size_t size);
void pcm_free(void* block);

// Reads up to size bytes; the count read. Stops early only at the end of the file or an error.
size_t pcm_read(int fd, uint8_t* buf, size_t size);
void pcm_release_input(); // the input buffer and file, once the samples are downmixed

// Running state of the 4-bit encoder.
struct adpcm_state {
    int16_t predictor = 0;
    int8_t step_index = 0;
};

int encode_sample(adpcm_state* state, int16_t sample);
// Encodes samples[0 .. 2 * bytes) into out[0 .. bytes), two codes a byte, low nibble first,
// as encode_sample would one after the other, and leaves *state as it would.
void encode_pairs(adpcm_state* state, const int16_t* samples, int bytes, uint8_t* out);

// Pipeline: downmix, the enabled stages, then the encoder into pcm.out. 0, or -1 when a
// working buffer cannot be allocated (its message already printed).
int convert();
void downmix(int16_t* out); // from pcm.data on, reading further pieces from pcm.wav_fd
// The stages that read src and write dst may be given one buffer as both.
int remove_dc(const int16_t* src, int16_t* dst); // -1: no room for its block means
void normalise(int16_t* values);
void trim_silence(const int16_t* src, int16_t* dst);

// Tag scan over a loaded file of length bytes: the address of the data chunk's size field,
// or null. Never reads outside [bytes, bytes + length).
const uint8_t* find_data_chunk(const uint8_t* bytes, size_t length);
int write_output();

// Converts a WAV file held whole in memory as a run converts a loaded file, with the stage
// flags as they stand (all on after pcm_init), and keeps no output: 0, or -1 on failure.
// Prints what a run prints, less the argument, file and "done" lines.
int pcm_convert_memory(const uint8_t* bytes, size_t length);

// Command line; parse_options returns -1 to go on, or the status to end with.
void show_usage();
int parse_options(int argc, char** argv);
int sndsquash_main(int argc, char** argv);
