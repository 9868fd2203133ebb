// qelpack: packs a directory into one flat image, and reads such images in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct stat;

// Entry header layout; every integer is 32-bit little-endian.
constexpr uint32_t QEL_HEAD_MAGIC = 0x684C6551u; // "QeLh" read as a little-endian word
constexpr uint32_t QEL_TAIL_MAGIC = 0x664C6551u; // "QeLf"

enum {
    QEL_HEADER_SIZE = 104,
    QEL_OFF_HEAD_MAGIC = 0,
    QEL_OFF_HEADER_SIZE = 4,
    QEL_OFF_DATA_SIZE = 8,
    QEL_OFF_NEXT = 12,
    QEL_OFF_HASH = 16,
    QEL_OFF_RESERVED = 20,
    QEL_OFF_DIR_NAME = 36,
    QEL_OFF_FILE_NAME = 68,
    QEL_OFF_TAIL_MAGIC = 100,
    QEL_NAME_FIELD = 32,
    QEL_NAME_MAX = 29, // longest directory or file name that fits its field
    QEL_MAX_ENTRIES = 1023,
    QEL_TABLE_SIZE = 1024,
};

// Largest data size whose rounded next offset still fits 32 bits.
constexpr uint64_t QEL_MAX_DATA_SIZE = 0xFFFFFFF0ull - QEL_HEADER_SIZE;

uint32_t qel_hash(const char* text);
uint32_t qel_get32(const uint8_t* p);
void qel_put32(uint8_t* p, uint32_t v);

// Where an added file's contents come from when the image is written: the file itself, held
// open since it was added, or (once descriptors run short) a copy read into memory at once.
struct qel_source {
    int fd = -1;
    uint8_t* data = nullptr;
};

// Writer and scan state; one per process.
struct qel_state {
    int out = -1;              // the image, open from qel_open to qel_finish
    const char* out_name = ""; // its name, for messages
    int file_count = 0;
    uint8_t entry[QEL_TABLE_SIZE][QEL_HEADER_SIZE] = {}; // headers of the added files
    qel_source source[QEL_TABLE_SIZE] = {};              // their contents, parallel to entry
    int fd_budget = 0;                                   // how many sources may stay open
    int fds_held = 0;
    uint8_t* copy_buf = nullptr;    // for sources the kernel cannot copy directly
    const char* path_arg = nullptr; // the directory named on the command line
    int scan_depth = 0;
    int alloc_fail_next = 0; // tests: the n-th allocation from now fails (0: never)
    int tool = 0;            // 'l', 't' or 'e' from the command line; 0 packs
    // Reader: points into the caller's image, which must stay unchanged while it is indexed.
    const uint8_t* image = nullptr;
    int index_count = 0;
    const uint8_t* index_table[QEL_MAX_ENTRIES] = {};
    uint32_t index_hash[QEL_MAX_ENTRIES + 15] = {}; // name hashes side by side, for qel_find
};

extern qel_state qel;
void qel_init(); // frees and closes what qel still owns, then qel = qel_state{}

void* qel_calloc(size_t count, size_t size);

int qel_open(const char* file_name);
int qel_add(const char* full_path, const char* file_name, const char* dir_label);
int qel_finish();

int scan_directory(const char* dir_path, const char* dir_label);

// Reader over an image held in memory; never reads outside [image, image + length).
int qel_index(const void* image, size_t length);
int qel_count();
int qel_find(const char* path);
const uint8_t* qel_entry(int i);
int qel_fstat(int handle, struct stat* status);

// List, test and unpack an image file; results are 0 or -1.
void qel_list();                                   // the current index, one line per entry
int qel_test(const uint8_t* image, size_t length); // every writer guarantee, over the bytes
int qel_unpack(int dir_fd);                        // the indexed entries, under dir_fd
int qel_tool(int tool, const char* image_name);    // loads the file and runs one of the above

// Command line; parse_options returns -1 to go on, or the status to end with.
void show_usage();
int parse_options(int argc, char** argv);
int qelpack_main(int argc, char** argv);
