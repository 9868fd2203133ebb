// qelpack -l, -t and -e: list, test and unpack an image file.
#include "qel.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// Names come from the image: control bytes are shown as \xNN so that they cannot drive the
// terminal. Bytes from 0x80 up stay as they are, being parts of multibyte names.
static std::string shown(const char* text)
{
    std::string s;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F) {
            char esc[5];
            snprintf(esc, sizeof esc, "\\x%02X", *p);
            s += esc;
        } else {
            s += char(*p);
        }
    }
    return s;
}

static const char* dir_name(const uint8_t* h)
{
    return reinterpret_cast<const char*>(h + QEL_OFF_DIR_NAME);
}

static const char* file_name(const uint8_t* h)
{
    return reinterpret_cast<const char*>(h + QEL_OFF_FILE_NAME);
}

void qel_list()
{
    printf("%5s  %8s  %10s  %8s  %s\n", "index", "offset", "size", "hash", "path");
    unsigned long long total = 0;
    for (int i = 0; i < qel.index_count; ++i) {
        const uint8_t* h = qel.index_table[i];
        uint32_t size = qel_get32(h + QEL_OFF_DATA_SIZE);
        total += size;
        std::string path = std::string(dir_name(h)) + "/" + file_name(h);
        printf("%5d  %08zX  %10u  %08X  %s\n", i, size_t(h - qel.image), size,
               qel_get32(h + QEL_OFF_HASH), shown(path.c_str()).c_str());
    }
    printf("%d %s, %llu bytes of data\n", qel.index_count,
           qel.index_count == 1 ? "entry" : "entries", total);
}

// Test (-t)

__attribute__((format(printf, 4, 5))) static void
problem(int* count, int i, size_t off, const char* fmt, ...)
{
    printf("entry %d at %08zX: ", i, off);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    ++*count;
}

static bool all_zero(const uint8_t* p, size_t n)
{
    for (size_t k = 0; k < n; ++k)
        if (p[k]) return false;
    return true;
}

// One name field: ended by a NUL, at most QEL_NAME_MAX characters, zero after the NUL.
// Returns false when there is no NUL, so the path cannot be formed.
static bool check_name(const uint8_t* field, const char* what, int* count, int i, size_t off)
{
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(field, 0, QEL_NAME_FIELD));
    if (!nul) {
        problem(count, i, off, "%s has no NUL within 32 bytes", what);
        return false;
    }
    size_t len = size_t(nul - field);
    if (len > QEL_NAME_MAX) problem(count, i, off, "%s is %zu characters, over 29", what, len);
    if (!all_zero(nul, QEL_NAME_FIELD - len))
        problem(count, i, off, "%s is not zero after its NUL", what);
    return true;
}

// Walks the whole chain, past the reader's 1023 entries, and names every way the bytes differ
// from what the writer makes. A fault that loses the chain ends the walk. Returns the number
// of headers met.
static int walk_chain(const uint8_t* image, size_t length, int* count)
{
    int entries = 0;
    size_t off = 0;
    for (int i = 0;; ++i) {
        if (length - off < QEL_HEADER_SIZE) {
            problem(count, i, off, "header runs past the end of the image");
            break;
        }
        const uint8_t* h = image + off;
        bool head_ok = qel_get32(h + QEL_OFF_HEAD_MAGIC) == QEL_HEAD_MAGIC;
        bool tail_ok = qel_get32(h + QEL_OFF_TAIL_MAGIC) == QEL_TAIL_MAGIC;
        if (!head_ok) problem(count, i, off, "head magic is not QeLh");
        if (!tail_ok) problem(count, i, off, "tail magic is not QeLf");
        if (!head_ok || !tail_ok) break; // not a header: its next cannot be trusted
        ++entries;
        if (i == QEL_MAX_ENTRIES) problem(count, i, off, "more than %d entries", QEL_MAX_ENTRIES);

        uint32_t header_size = qel_get32(h + QEL_OFF_HEADER_SIZE);
        if (header_size != QEL_HEADER_SIZE)
            problem(count, i, off, "header size is %u, not %d", header_size, QEL_HEADER_SIZE);
        if (!all_zero(h + QEL_OFF_RESERVED, QEL_OFF_DIR_NAME - QEL_OFF_RESERVED))
            problem(count, i, off, "reserved bytes are not zero");
        bool dir_ok = check_name(h + QEL_OFF_DIR_NAME, "directory name", count, i, off);
        bool file_ok = check_name(h + QEL_OFF_FILE_NAME, "file name", count, i, off);
        if (dir_ok && file_ok) {
            std::string path = std::string(dir_name(h)) + "/" + file_name(h);
            uint32_t stored = qel_get32(h + QEL_OFF_HASH), want = qel_hash(path.c_str());
            if (stored != want)
                problem(count, i, off, "hash is %08X, the path gives %08X", stored, want);
        }

        uint64_t size = qel_get32(h + QEL_OFF_DATA_SIZE);
        if (size > length - off - QEL_HEADER_SIZE) {
            problem(count, i, off, "data runs past the end of the image");
            break;
        }
        uint64_t used = QEL_HEADER_SIZE + size; // header and data
        uint32_t next = qel_get32(h + QEL_OFF_NEXT);
        if (next == 0) {
            if (length - off > used)
                problem(count, i, off, "%llu bytes follow the last entry's data",
                        (unsigned long long)(length - off - used));
            break;
        }
        if (next < used) {
            problem(count, i, off, "next falls inside the entry");
            break;
        }
        uint64_t rounded = (used + 15) / 16 * 16;
        if (next != rounded)
            problem(count, i, off, "next is %u, not %llu", next, (unsigned long long)rounded);
        if (next > length - off) {
            problem(count, i, off, "next leads past the end of the image");
            break;
        }
        if (!all_zero(h + used, next - used)) problem(count, i, off, "fill is not zero");
        off += next;
    }
    return entries;
}

int qel_test(const uint8_t* image, size_t length)
{
    int count = 0, entries = 0;
    if (!image || length == 0) {
        printf("image is empty\n");
        ++count;
    } else {
        entries = walk_chain(image, length, &count);
    }
    if (count == 0) {
        printf("sound: %d %s\n", entries, entries == 1 ? "entry" : "entries");
        return 0;
    }
    printf("damaged: %d %s\n", count, count == 1 ? "problem" : "problems");
    return -1;
}

// Unpack (-e)

// A name that could leave the directory it is written into, or name that directory itself.
static bool safe_name(const char* name)
{
    return name[0] && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && !strpbrk(name, "/\\");
}

// O_EXCL with O_NOFOLLOW: an existing file, directory or link of that name is left alone.
static int
write_new(int at, const char* name, const uint8_t* data, uint32_t size, const char* where)
{
    int fd = openat(at, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST)
            printf("'%s' refused: already exists\n", where);
        else
            printf("'%s' not written: %s\n", where, strerror(errno));
        return -1;
    }
    int err = 0;
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += size_t(n);
    }
    if (close(fd) != 0 && err == 0) err = errno;
    if (err) {
        unlinkat(at, name, 0); // ours: O_EXCL made it
        printf("'%s' not written: %s\n", where, strerror(err));
        return -1;
    }
    printf("'%s' written\n", where);
    return 0;
}

static int unpack_entry(int dir_fd, const uint8_t* h)
{
    const char* dir = dir_name(h);
    const char* name = file_name(h);
    std::string where = shown(dir[0] ? (std::string(dir) + "/" + name).c_str() : name);
    if (!safe_name(name)) {
        printf("'%s' refused: unsafe file name\n", where.c_str());
        return -1;
    }
    if (dir[0] && !safe_name(dir)) {
        printf("'%s' refused: unsafe directory name\n", where.c_str());
        return -1;
    }
    const uint8_t* data = h + QEL_HEADER_SIZE;
    uint32_t size = qel_get32(h + QEL_OFF_DATA_SIZE);
    if (!dir[0]) return write_new(dir_fd, name, data, size, where.c_str());

    if (mkdirat(dir_fd, dir, 0777) != 0 && errno != EEXIST) {
        printf("'%s' not written: %s\n", where.c_str(), strerror(errno));
        return -1;
    }
    // O_NOFOLLOW: a link named like the label must not carry the file elsewhere.
    int sub = openat(dir_fd, dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
        if (errno == ELOOP || errno == ENOTDIR)
            printf("'%s' refused: '%s' is a link or not a directory\n", where.c_str(),
                   shown(dir).c_str());
        else
            printf("'%s' not written: %s\n", where.c_str(), strerror(errno));
        return -1;
    }
    int rc = write_new(sub, name, data, size, where.c_str());
    close(sub);
    return rc;
}

int qel_unpack(int dir_fd)
{
    int written = 0;
    for (int i = 0; i < qel.index_count; ++i)
        if (unpack_entry(dir_fd, qel.index_table[i]) == 0) ++written;
    printf("%d of %d %s written\n", written, qel.index_count,
           qel.index_count == 1 ? "entry" : "entries");
    return written == qel.index_count ? 0 : -1;
}

// The whole file in memory; a FIFO or device is refused before anything is read from it.
static uint8_t* load_image(const char* name, size_t* length)
{
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        printf("'%s' cannot be opened: %s\n", name, strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (qel_fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        printf("'%s' is not a regular file\n", name);
        close(fd);
        return nullptr;
    }
    size_t size = size_t(st.st_size);
    uint8_t* buf = static_cast<uint8_t*>(qel_calloc(size ? size : 1, 1));
    if (!buf) {
        printf("'%s' malloc error:%zukb\n", name, size / 1024);
        close(fd);
        return nullptr;
    }
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            printf("'%s' cannot be read: %s\n", name, strerror(errno));
            free(buf);
            close(fd);
            return nullptr;
        }
        if (n == 0) break; // the file shrank: take what is there
        done += size_t(n);
    }
    close(fd);
    *length = done;
    return buf;
}

int qel_tool(int tool, const char* image_name)
{
    size_t length = 0;
    uint8_t* image = load_image(image_name, &length);
    if (!image) return -1;
    int rc = 0;
    if (tool == 't') {
        rc = qel_test(image, length);
    } else {
        if (qel_index(image, length) < 0) rc = -1;
        const uint8_t* last = qel_entry(qel.index_count - 1);
        if (qel.index_count == QEL_MAX_ENTRIES && qel_get32(last + QEL_OFF_NEXT) != 0) {
            printf("entries after the 1023rd are not read\n");
            rc = -1;
        }
        if (tool == 'l')
            qel_list();
        else if (qel_unpack(AT_FDCWD) != 0)
            rc = -1;
    }
    // The index points into the buffer freed here.
    qel.image = nullptr;
    qel.index_count = 0;
    free(image);
    return rc;
}
