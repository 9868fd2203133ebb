// The entry header's byte order and the name hash, shared by writer and reader.
#include "qel.h"

#include <cstdlib>
#include <unistd.h>

qel_state qel;

uint32_t qel_hash(const char* text)
{
    uint32_t h = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        h = (h << 4) | (h >> 28);
        h ^= *p & 0xDFu; // clears bit 5, which folds ASCII case
    }
    return h;
}

uint32_t qel_get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void qel_put32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

void* qel_calloc(size_t count, size_t size)
{
    if (qel.alloc_fail_next > 0 && --qel.alloc_fail_next == 0) return nullptr;
    return calloc(count, size);
}

void qel_init()
{
    if (qel.out >= 0) close(qel.out);
    for (qel_source& src : qel.source) {
        if (src.fd >= 0) close(src.fd);
        free(src.data);
    }
    free(qel.copy_buf);
    qel = qel_state{};
}
