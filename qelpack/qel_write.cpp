// Image writer: collects files in memory, then writes them as one chain of entries.
#include "qel.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int qel_open(const char* file_name)
{
    qel.file_count = 0;
    qel.out_name = file_name;
    qel.out = fopen(file_name, "wb");
    if (!qel.out) {
        printf(" fopen err:%s\n", file_name);
        return -1;
    }
    return 0;
}

// Reads up to size bytes; a file that delivers fewer leaves the rest of buf zero.
static void read_fully(int fd, uint8_t* buf, uint64_t size)
{
    uint64_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += uint64_t(n);
    }
}

int qel_add(const char* full_path, const char* file_name, const char* dir_label)
{
    if (qel.file_count + 1 >= QEL_TABLE_SIZE) return -1;
    size_t file_len = strlen(file_name), dir_len = strlen(dir_label);
    if (file_len > QEL_NAME_MAX || dir_len > QEL_NAME_MAX) return -1;

    // Non-blocking, so that a FIFO cannot stall the run before it is recognised and skipped.
    int fd = open(full_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    uint64_t size = uint64_t(st.st_size);
    if (size > QEL_MAX_DATA_SIZE) {
        printf("'%s' file too large\n", full_path);
        close(fd);
        return -1;
    }
    uint8_t* buf = nullptr;
    if (size > 0) {
        buf = static_cast<uint8_t*>(qel_calloc(size, 1));
        if (!buf) {
            printf("'%s' malloc error:%llukb\n", full_path, (unsigned long long)(size / 1024));
            close(fd);
            return -1;
        }
        read_fully(fd, buf, size);
    }
    close(fd);

    int i = qel.file_count;
    uint8_t* h = qel.entry[i];
    memset(h, 0, QEL_HEADER_SIZE);
    qel_put32(h + QEL_OFF_HEAD_MAGIC, QEL_HEAD_MAGIC);
    qel_put32(h + QEL_OFF_HEADER_SIZE, QEL_HEADER_SIZE);
    qel_put32(h + QEL_OFF_DATA_SIZE, uint32_t(size));
    memcpy(h + QEL_OFF_DIR_NAME, dir_label, dir_len);
    memcpy(h + QEL_OFF_FILE_NAME, file_name, file_len);
    qel_put32(h + QEL_OFF_TAIL_MAGIC, QEL_TAIL_MAGIC);
    std::string path = std::string(dir_label) + "/" + file_name;
    uint32_t hash = qel_hash(path.c_str());
    qel_put32(h + QEL_OFF_HASH, hash);
    printf("hash:%08X\n", hash);

    free(qel.data[i]);
    qel.data[i] = buf;
    qel.file_count = i + 1;
    return 0;
}

static int write_entries()
{
    static const uint8_t zeros[16] = {};
    for (int i = 0; i < qel.file_count; ++i) {
        uint8_t* h = qel.entry[i];
        uint32_t size = qel_get32(h + QEL_OFF_DATA_SIZE);
        uint32_t next = 0, fill = 0;
        if (i + 1 < qel.file_count) {
            next = QEL_HEADER_SIZE + size;
            if (next % 16) fill = 16 - next % 16;
            next += fill;
        }
        qel_put32(h + QEL_OFF_NEXT, next);
        if (fwrite(h, 1, QEL_HEADER_SIZE, qel.out) != QEL_HEADER_SIZE) return -1;
        if (size && fwrite(qel.data[i], 1, size, qel.out) != size) return -1;
        if (fill && fwrite(zeros, 1, fill, qel.out) != fill) return -1;
    }
    return fflush(qel.out) == 0 ? 0 : -1;
}

int qel_finish()
{
    if (!qel.out) return -1;
    if (qel.file_count == 0) {
        printf("error:file 0\n");
        fclose(qel.out);
        qel.out = nullptr;
        return -1;
    }
    int rc = write_entries();
    int err = errno;
    if (fclose(qel.out) != 0 && rc == 0) {
        rc = -1;
        err = errno;
    }
    qel.out = nullptr;
    if (rc != 0) printf("'%s' could not be written: %s\n", qel.out_name, strerror(err));
    return rc;
}
