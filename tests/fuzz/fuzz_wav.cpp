// Fuzz target: an arbitrary file taken as a WAV, through the tag scan, the size checks and the
// whole conversion with every stage on.
#include "pcmtool.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    pcm_init();
    // A copy of exactly `size` bytes, so any read past the end is caught.
    std::vector<uint8_t> file(data, data + size);
    pcm_convert_memory(file.data(), file.size());
    pcm_init();
    return 0;
}
