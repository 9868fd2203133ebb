// Fuzz target: index an arbitrary image, then look up and fetch what was indexed.
#include "qel.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qel_init();
    // A copy of exactly `size` bytes, so any read past the end is caught.
    std::string image(reinterpret_cast<const char*>(data), size);
    int n = qel_index(image.data(), image.size());
    int count = qel_count();
    if (n > count || count < 0 || count > QEL_MAX_ENTRIES) __builtin_trap();
    for (int i = 0; i < count; ++i) {
        const uint8_t* h = qel_entry(i);
        if (!h) __builtin_trap();
        // Names were accepted, so each field holds its NUL.
        const char* dir = reinterpret_cast<const char*>(h + QEL_OFF_DIR_NAME);
        const char* name = reinterpret_cast<const char*>(h + QEL_OFF_FILE_NAME);
        std::string path = std::string(dir, strnlen(dir, QEL_NAME_FIELD)) + "/" +
                           std::string(name, strnlen(name, QEL_NAME_FIELD));
        // Found at i or at an earlier entry of the same path, unless the stored hash is stale.
        int found = qel_find(path.c_str());
        bool hash_ok = qel_get32(h + QEL_OFF_HASH) == qel_hash(path.c_str());
        if (hash_ok && (found < 0 || found > i)) __builtin_trap();
    }
    if (qel_entry(count) || qel_entry(-1)) __builtin_trap();
    qel_find("/");
    qel_find("");
    qel_find(nullptr);
    qel_init();
    return 0;
}
