// sndsquash's conversion pipeline, conditioning stages and ADPCM encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Conversion state; one per process.
struct pcm_state {
    std::string in_name;           // the input WAV as named on the command line
    uint8_t* wav = nullptr;        // whole input file; released after the downmix
    const uint8_t* data = nullptr; // first sample, inside wav
    int data_size = 0;             // bytes of sample data at data
    int conv_count = 0;            // samples in the current signal
    int16_t* buff_b = nullptr;     // the current signal
    int16_t* buff_c = nullptr;     // a stage's output, swapped in after it
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

// Running state of the 4-bit encoder.
struct adpcm_state {
    int16_t predictor = 0;
    int8_t step_index = 0;
};

int encode_sample(adpcm_state* state, int16_t sample);

// Pipeline: downmix, the enabled stages, then the encoder into pcm.out. 0, or -1 when a
// working buffer cannot be allocated (its message already printed).
int convert();
void downmix(const uint8_t* data, int16_t* out);
int remove_dc(const int16_t* src, int16_t* dst); // -1: no room for its block means
void normalise(int16_t* values);
void trim_silence(const int16_t* src, int16_t* dst);

// Tag scan over a loaded file of length bytes: the address of the data chunk's size field,
// or null. Never reads outside [bytes, bytes + length).
const uint8_t* find_data_chunk(const uint8_t* bytes, size_t length);
int write_output();

// Command line; parse_options returns -1 to go on, or the status to end with.
void show_usage();
int parse_options(int argc, char** argv);
int sndsquash_main(int argc, char** argv);
