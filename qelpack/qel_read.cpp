// Image reader: indexes an image held in memory and finds its files by path.
#include "qel.h"

#include <cstring>
#include <sys/stat.h>

static int damaged(int i, size_t off, const char* what)
{
    printf("entry %d at %08zX: %s\n", i, off, what);
    return -1;
}

static bool has_nul(const uint8_t* field)
{
    return memchr(field, 0, QEL_NAME_FIELD) != nullptr;
}

// Every check stays inside [image, image + length), so a damaged or truncated image, or one
// whose next offsets loop back, ends the walk with -1 instead of a wild read.
int qel_index(const void* image, size_t length)
{
    const uint8_t* base = static_cast<const uint8_t*>(image);
    qel.image = base;
    qel.index_count = 0;
    if (!base || length == 0) {
        printf("image is empty\n");
        return -1;
    }
    size_t off = 0;
    while (qel.index_count < QEL_MAX_ENTRIES) {
        int i = qel.index_count;
        if (length - off < QEL_HEADER_SIZE)
            return damaged(i, off, "header runs past the end of the image");
        const uint8_t* h = base + off;
        if (qel_get32(h + QEL_OFF_HEAD_MAGIC) != QEL_HEAD_MAGIC)
            return damaged(i, off, "head magic is not QeLh");
        if (qel_get32(h + QEL_OFF_TAIL_MAGIC) != QEL_TAIL_MAGIC)
            return damaged(i, off, "tail magic is not QeLf");
        if (!has_nul(h + QEL_OFF_DIR_NAME))
            return damaged(i, off, "directory name has no NUL within 32 bytes");
        if (!has_nul(h + QEL_OFF_FILE_NAME))
            return damaged(i, off, "file name has no NUL within 32 bytes");
        uint64_t size = qel_get32(h + QEL_OFF_DATA_SIZE);
        if (size > length - off - QEL_HEADER_SIZE)
            return damaged(i, off, "data runs past the end of the image");

        qel.index_table[i] = h;
        qel.index_hash[i] = qel_get32(h + QEL_OFF_HASH);
        qel.index_count = i + 1;
        uint32_t next = qel_get32(h + QEL_OFF_NEXT);
        if (next == 0 || qel.index_count == QEL_MAX_ENTRIES) break; // the rest is not looked at
        // A next that does not pass this entry's own data could walk back and loop forever.
        if (next < QEL_HEADER_SIZE + size) return damaged(i, off, "next falls inside the entry");
        if (next > length - off) return damaged(i, off, "next leads past the end of the image");
        off += next;
    }
    return qel.index_count;
}

int qel_count()
{
    return qel.index_count;
}

// Only ASCII letters fold; bytes from 0x80 up may be halves of multibyte characters.
static unsigned char fold(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

// Compares one name field, up to its NUL, with the start of path; returns the rest of path.
static const unsigned char* match_name(const uint8_t* field, const unsigned char* path)
{
    for (; *field; ++field, ++path)
        if (fold(*field) != fold(*path)) return nullptr;
    return path;
}

// Whether "dir/name" of entry e equals path; both name fields end within their 32 bytes
// (qel_index saw to it).
static bool entry_has_path(const uint8_t* e, const unsigned char* path)
{
    path = match_name(e + QEL_OFF_DIR_NAME, path);
    if (!path || *path != '/') return false;
    path = match_name(e + QEL_OFF_FILE_NAME, path + 1);
    return path && *path == 0;
}

// First entry from i on whose hash is h, or the count. Hashes are compared sixteen at a time
// (the table has room past the last entry), which the compiler turns into vector compares.
static int next_hash_match(int i, uint32_t h)
{
    int n = qel.index_count;
    for (; i < n; i += 16) {
        const uint32_t* block = qel.index_hash + i;
        int any = 0;
        for (int k = 0; k < 16; ++k)
            any |= block[k] == h;
        if (!any) continue;
        for (int k = 0; k < 16 && i + k < n; ++k)
            if (block[k] == h) return i + k;
    }
    return n;
}

int qel_find(const char* path)
{
    if (!path || qel.index_count <= 0) return -1;
    uint32_t h = qel_hash(path);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(path);
    for (int i = next_hash_match(0, h); i < qel.index_count; i = next_hash_match(i + 1, h))
        if (entry_has_path(qel.index_table[i], p)) return i;
    return -1;
}

const uint8_t* qel_entry(int i)
{
    if (i < 0 || qel.index_count <= 0 || i >= qel.index_count) return nullptr;
    return qel.index_table[i];
}

int qel_fstat(int handle, struct stat* status)
{
    return fstat(handle, status);
}
