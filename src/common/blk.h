// Block and raw-device I/O: a regular file and a raw disk or volume read and
// written the same way, by block index and by byte range, with their size
// and physical sector size. A handle carries a table of operations chosen by
// its open function: one for reading a raw device, one for reading a file,
// one for writing either. A path beginning "\\.\" names a raw device.
// Results are codes of sys_result.h.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "sys_file.h"
#include "sys_result.h"

#define BLK_PATH_MAX 1024   // bytes of a handle's path, its NUL included

// What a handle reads or writes.
enum { BLK_FILE = 0, BLK_DEVICE = 1 };

// The system's "no handle" value (INVALID_HANDLE_VALUE).
#define BLK_NO_HANDLE ((sys_handle)(intptr_t)-1)

struct blk_ops;

// One open file or device, in storage owned by the caller; set up by an
// open function, with no heap allocation.
struct blk_handle {
    uint32_t kind;             // BLK_FILE or BLK_DEVICE
    sys_handle handle;         // BLK_NO_HANDLE while not open
    const blk_ops *ops;        // the operations of this handle
    char path[BLK_PATH_MAX];   // the path given to the open, cut to fit
};

// The reader shape of an operations table, slots in this order.
struct blk_reader_ops {
    int (*open)(blk_handle *h, const char *path);
    int (*read_block)(blk_handle *h, uint64_t index, uint32_t block_size, void *dst,
                      uint32_t *count);
    int (*size)(blk_handle *h, uint64_t *out);
    int (*sector_size)(blk_handle *h, uint32_t *out);
    void (*close)(blk_handle *h);
    int (*read)(blk_handle *h, uint64_t offset, uint64_t len, void *dst,
                uint64_t *count);  // optional: null when absent
};

// The writer shape, slots in this order.
struct blk_writer_ops {
    int (*open)(blk_handle *h, const char *path);
    int (*write_block)(blk_handle *h, uint64_t index, uint32_t block_size, const void *src,
                       uint32_t len);
    int (*set_size)(blk_handle *h, int64_t size);
    void (*close)(blk_handle *h);
};

// A constant table of operations: a reader table leaves writer all null, a
// writer table leaves reader all null, so a handle used in the other shape
// fails with -3 instead of calling through nothing.
struct blk_ops {
    blk_reader_ops reader;  // the reader shape
    blk_writer_ops writer;  // the writer shape
};

extern const blk_ops blk_device_read_ops;
extern const blk_ops blk_file_read_ops;
extern const blk_ops blk_write_ops;

// 1 when path names a raw device ("\\.\PhysicalDrive0", "\\.\C:"), else 0.
int blk_is_device_path(const char *path);
// Resets h for an open of path with ops: kind BLK_FILE, no handle, path
// copied and cut to BLK_PATH_MAX - 1 characters.
void blk_reset(blk_handle *h, const char *path, const blk_ops *ops);

// Opens path for reading with the device or the file table, as its prefix
// says, and returns that table's open.
int blk_open_read(blk_handle *h, const char *path);
// Opens path for writing with blk_write_ops.
int blk_open_write_path(blk_handle *h, const char *path);
// The handle's read_block, size, sector_size and close; close does nothing
// when ops is null (a zeroed record).
int blk_reader_read_block(blk_handle *h, uint64_t index, uint32_t block_size, void *dst,
                          uint32_t *count);
int blk_reader_size(blk_handle *h, uint64_t *out);
int blk_reader_sector_size(blk_handle *h, uint32_t *out);
void blk_reader_close(blk_handle *h);
// Reads len bytes at offset into dst: the rest past the end of the data is
// zeros and *count (may be null) tells how much was real. A failure leaves
// what was read in dst and *count unwritten.
int blk_read(blk_handle *h, uint64_t offset, uint64_t len, void *dst, uint64_t *count);
// The handle's write_block, set_size and close; close does nothing when ops
// is null.
int blk_writer_write_block(blk_handle *h, uint64_t index, uint32_t block_size, const void *src,
                           uint32_t len);
int blk_writer_set_size(blk_handle *h, int64_t size);
void blk_writer_close(blk_handle *h);

// The operations behind the tables.
int blk_open_device_read(blk_handle *h, const char *path);
int blk_open_file_read(blk_handle *h, const char *path);
int blk_open_write(blk_handle *h, const char *path);
// One whole block at index * block_size; the part past the end is zeros,
// *count (may be null) the bytes that were real.
int blk_read_block(blk_handle *h, uint64_t index, uint32_t block_size, void *dst,
                   uint32_t *count);
// One write of len bytes at index * block_size. On a device the write is
// unbuffered: the system refuses a transfer that is not sector-aligned for
// that device, and the refusal is -3; a write that stores fewer bytes than
// len fails with -1.
int blk_write_block(blk_handle *h, uint64_t index, uint32_t block_size, const void *src,
                    uint32_t len);
int blk_size(blk_handle *h, uint64_t *out);
// A device: 0 without a call; a file: cut or extended to size.
int blk_set_size(blk_handle *h, int64_t size);
// 1 for a file; a device's physical sector size, 4096 when it does not say.
// Always 0.
int blk_sector_size(blk_handle *h, uint32_t *out);
void blk_close(blk_handle *h);
// Flushes (best effort), then blk_close.
void blk_flush_close(blk_handle *h);
// index * block_size into *offset: 0, or -3 when it exceeds 64 bits.
int blk_block_offset(uint64_t index, uint32_t block_size, uint64_t *offset);
