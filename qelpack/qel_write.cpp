// Image writer: records each file as it is added, then writes them as one chain of entries.
//
// A file's size and hash are taken when it is added; its bytes are copied only when the image
// is written, from the descriptor opened at that moment, inside the kernel where it can. That
// keeps the contents out of user memory and runs at the speed of a plain file copy.
#include "qel.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr int FD_RESERVE = 32;
constexpr size_t COPY_CHUNK = 1 << 20;

// Every added file may stay open: raise the soft descriptor limit as far as the table needs.
static int compute_fd_budget()
{
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    rlim_t want = QEL_TABLE_SIZE + FD_RESERVE;
    if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < want) {
        rlim_t raised = lim.rlim_max == RLIM_INFINITY || lim.rlim_max > want ? want : lim.rlim_max;
        struct rlimit next = {raised, lim.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &next) == 0) lim.rlim_cur = raised;
    }
    if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= want) return QEL_TABLE_SIZE;
    return lim.rlim_cur > FD_RESERVE ? int(lim.rlim_cur - FD_RESERVE) : 0;
}

int qel_open(const char* file_name)
{
    qel.file_count = 0;
    qel.out_name = file_name;
    qel.fd_budget = compute_fd_budget();
    qel.out = open(file_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (qel.out < 0) {
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
    qel_source src;
    if (size > 0 && qel.fds_held < qel.fd_budget) {
        src.fd = fd;
        ++qel.fds_held;
    } else {
        if (size > 0) {
            src.data = static_cast<uint8_t*>(qel_calloc(size, 1));
            if (!src.data) {
                printf("'%s' malloc error:%llukb\n", full_path, (unsigned long long)(size / 1024));
                close(fd);
                return -1;
            }
            read_fully(fd, src.data, size);
        }
        close(fd);
    }

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

    qel.source[i] = src;
    qel.file_count = i + 1;
    return 0;
}

static int write_all(int fd, const void* buf, size_t len)
{
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return -1;
        }
        p += n;
        len -= size_t(n);
    }
    return 0;
}

static int write_zeros(int fd, uint64_t len)
{
    static const uint8_t zeros[4096] = {};
    while (len > 0) {
        size_t n = len < sizeof zeros ? size_t(len) : sizeof zeros;
        if (write_all(fd, zeros, n) != 0) return -1;
        len -= n;
    }
    return 0;
}

static bool is_write_error(int err)
{
    return err == ENOSPC || err == EDQUOT || err == EFBIG || err == EPIPE;
}

// Copies size bytes of an open source; a file that delivers fewer is padded with zeros, as its
// read errors are (the entry's size was fixed when the file was added).
static int copy_source(int in, uint64_t size)
{
    off_t pos = 0;
    while (uint64_t(pos) < size) {
        ssize_t n = copy_file_range(in, &pos, qel.out, nullptr, size_t(size - uint64_t(pos)), 0);
        if (n > 0) continue;
        if (n == 0) return write_zeros(qel.out, size - uint64_t(pos));
        if (errno == EINTR) continue;
        if (is_write_error(errno)) return -1;
        break; // not possible between these files: copy through a buffer instead
    }
    if (uint64_t(pos) >= size) return 0;

    if (!qel.copy_buf) qel.copy_buf = static_cast<uint8_t*>(qel_calloc(COPY_CHUNK, 1));
    if (!qel.copy_buf) {
        errno = ENOMEM;
        return -1;
    }
    uint8_t* buf = qel.copy_buf;
    while (uint64_t(pos) < size) {
        uint64_t left = size - uint64_t(pos);
        ssize_t n = pread(in, buf, left < COPY_CHUNK ? size_t(left) : COPY_CHUNK, pos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return write_zeros(qel.out, left);
        if (write_all(qel.out, buf, size_t(n)) != 0) return -1;
        pos += n;
    }
    return 0;
}

static int write_entries()
{
    // The fill after one entry and the next header go out in one write.
    uint8_t head[16 + QEL_HEADER_SIZE] = {};
    uint32_t fill = 0;
    for (int i = 0; i < qel.file_count; ++i) {
        uint8_t* h = qel.entry[i];
        uint32_t size = qel_get32(h + QEL_OFF_DATA_SIZE);
        uint32_t next = 0;
        if (i + 1 < qel.file_count) next = (QEL_HEADER_SIZE + size + 15) / 16 * 16;
        qel_put32(h + QEL_OFF_NEXT, next);
        memset(head, 0, fill);
        memcpy(head + fill, h, QEL_HEADER_SIZE);
        if (write_all(qel.out, head, fill + QEL_HEADER_SIZE) != 0) return -1;
        qel_source& src = qel.source[i];
        if (src.fd >= 0) {
            if (copy_source(src.fd, size) != 0) return -1;
            close(src.fd);
            src.fd = -1;
            --qel.fds_held;
        } else if (size && write_all(qel.out, src.data, size) != 0) {
            return -1;
        }
        fill = next ? next - QEL_HEADER_SIZE - size : 0;
    }
    return 0;
}

int qel_finish()
{
    if (qel.out < 0) return -1;
    if (qel.file_count == 0) {
        printf("error:file 0\n");
        close(qel.out);
        qel.out = -1;
        return -1;
    }
    int rc = write_entries();
    int err = errno;
    if (close(qel.out) != 0 && rc == 0) {
        rc = -1;
        err = errno;
    }
    qel.out = -1;
    if (rc != 0) printf("'%s' could not be written: %s\n", qel.out_name, strerror(err));
    return rc;
}
