// Block and raw-device I/O on Win32. The opens and the device queries go
// through the file unit's call table (sys_file_win.h), the reads and writes
// through its positional routines, so a test can stand a file in for a raw
// disk and make the system refuse unaligned transfers.
#include <stdint.h>
#include <string.h>

#include "blk.h"
#include "sys_file_win.h"

static sys_file_api &W = sys_file_calls;

const blk_ops blk_device_read_ops = {
    {blk_open_device_read, blk_read_block, blk_size, blk_sector_size, blk_close, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};
const blk_ops blk_file_read_ops = {
    {blk_open_file_read, blk_read_block, blk_size, blk_sector_size, blk_close, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};
const blk_ops blk_write_ops = {
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {blk_open_write, blk_write_block, blk_set_size, blk_flush_close},
};

// Opens path into h with the given CreateFileA arguments; a device handle is
// then allowed to reach the whole volume (its answer does not matter: a disk
// without a file system ignores it).
static int open_into(blk_handle *h, const char *path, DWORD access, DWORD disposition,
                     DWORD flags, uint32_t kind)
{
    if (!path)
        return SYS_EINVAL;
    HANDLE f = W.CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             disposition, flags, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return sys_map_error(GetLastError());
    h->handle = f;
    h->kind = kind;
    if (kind == BLK_DEVICE) {
        DWORD returned = 0;
        W.DeviceIoControl(f, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &returned,
                          nullptr);
    }
    return SYS_OK;
}

int blk_open_device_read(blk_handle *h, const char *path)
{
    return open_into(h, path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, BLK_DEVICE);
}

int blk_open_file_read(blk_handle *h, const char *path)
{
    return open_into(h, path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, BLK_FILE);
}

int blk_open_write(blk_handle *h, const char *path)
{
    if (blk_is_device_path(path))
        return open_into(h, path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING,
                         FILE_FLAG_NO_BUFFERING, BLK_DEVICE);
    return open_into(h, path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     BLK_FILE);
}

int blk_open_read(blk_handle *h, const char *path)
{
    if (!h)
        return SYS_EINVAL;
    blk_reset(h, path, blk_is_device_path(path) ? &blk_device_read_ops : &blk_file_read_ops);
    return h->ops->reader.open(h, path);
}

int blk_open_write_path(blk_handle *h, const char *path)
{
    if (!h)
        return SYS_EINVAL;
    blk_reset(h, path, &blk_write_ops);
    return h->ops->writer.open(h, path);
}

int blk_read_block(blk_handle *h, uint64_t index, uint32_t block_size, void *dst,
                   uint32_t *count)
{
    uint64_t offset, got = 0;
    if (blk_block_offset(index, block_size, &offset) != SYS_OK)
        return SYS_EINVAL;
    // A device that wants aligned transfers is served by the file unit's
    // realigning retry (4096, then 512, through a bounce buffer).
    int rc = sys_file_read_at(h->handle, dst, block_size, offset, &got);
    if (rc != SYS_OK)
        return rc;
    memset((char *)dst + got, 0, block_size - (size_t)got);
    if (count)
        *count = (uint32_t)got;
    return SYS_OK;
}

int blk_read(blk_handle *h, uint64_t offset, uint64_t len, void *dst, uint64_t *count)
{
    if (!h || !h->ops)
        return SYS_EINVAL;
    if (h->ops->reader.read)
        return h->ops->reader.read(h, offset, len, dst, count);
    if (len == 0) {
        if (count)
            *count = 0;
        return SYS_OK;
    }
    // A range that runs past the last 64-bit offset has no bytes to give.
    if (offset > UINT64_MAX - len || len > SIZE_MAX)
        return SYS_EINVAL;
    uint64_t done = 0;
    while (done < len) {
        // One system read takes a 32-bit count: a longer range goes in pieces
        // rather than being cut short unseen.
        uint64_t piece = len - done > SYS_IO_MAX ? SYS_IO_MAX : len - done;
        uint64_t got = 0;
        int rc = sys_file_read_at(h->handle, (char *)dst + done, (size_t)piece, offset + done,
                                  &got);
        if (rc != SYS_OK)
            return rc;
        if (got == 0)
            break;
        done += got;
    }
    memset((char *)dst + done, 0, (size_t)(len - done));
    if (count)
        *count = done;
    return SYS_OK;
}

int blk_write_block(blk_handle *h, uint64_t index, uint32_t block_size, const void *src,
                    uint32_t len)
{
    uint64_t offset, done = 0;
    if (blk_block_offset(index, block_size, &offset) != SYS_OK)
        return SYS_EINVAL;
    // A device's write handle bypasses the system's buffers, so only
    // sector-aligned transfers pass; which sectors count is the device's
    // business (a 512e disk takes 512-byte ones while it reports 4096-byte
    // physical sectors), so the system decides and a refusal comes back as
    // its invalid-parameter error, -3.
    int rc = sys_file_write_at(h->handle, src, len, offset, &done);
    if (rc != SYS_OK)
        return rc;
    // Fewer bytes stored than asked is a failed write, not a success.
    return done == len ? SYS_OK : SYS_EFAIL;
}

int blk_size(blk_handle *h, uint64_t *out) { return sys_file_size(h->handle, out); }

int blk_set_size(blk_handle *h, int64_t size)
{
    if (h->kind == BLK_DEVICE)
        return SYS_OK;
    return sys_file_truncate(h->handle, size);
}

int blk_sector_size(blk_handle *h, uint32_t *out)
{
    if (h->kind == BLK_FILE) {
        *out = 1;
        return SYS_OK;
    }
    STORAGE_PROPERTY_QUERY query;
    memset(&query, 0, sizeof query);
    query.PropertyId = StorageAccessAlignmentProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR desc;
    memset(&desc, 0, sizeof desc);
    DWORD returned = 0;
    if (W.DeviceIoControl(h->handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &desc,
                          sizeof desc, &returned, nullptr) &&
        desc.BytesPerPhysicalSector != 0)
        *out = desc.BytesPerPhysicalSector;
    else
        *out = 4096;
    return SYS_OK;
}

void blk_close(blk_handle *h)
{
    if (sys_handle_valid(h->handle))
        sys_file_close(h->handle);
    h->handle = BLK_NO_HANDLE;
}

void blk_flush_close(blk_handle *h)
{
    if (sys_handle_valid(h->handle))
        sys_file_flush(h->handle);
    blk_close(h);
}

int blk_reader_read_block(blk_handle *h, uint64_t index, uint32_t block_size, void *dst,
                          uint32_t *count)
{
    if (!h->ops || !h->ops->reader.read_block)
        return SYS_EINVAL;
    return h->ops->reader.read_block(h, index, block_size, dst, count);
}

int blk_reader_size(blk_handle *h, uint64_t *out)
{
    if (!h->ops || !h->ops->reader.size)
        return SYS_EINVAL;
    return h->ops->reader.size(h, out);
}

int blk_reader_sector_size(blk_handle *h, uint32_t *out)
{
    if (!h->ops || !h->ops->reader.sector_size)
        return SYS_EINVAL;
    return h->ops->reader.sector_size(h, out);
}

void blk_reader_close(blk_handle *h)
{
    if (h->ops && h->ops->reader.close)
        h->ops->reader.close(h);
}

int blk_writer_write_block(blk_handle *h, uint64_t index, uint32_t block_size, const void *src,
                           uint32_t len)
{
    if (!h->ops || !h->ops->writer.write_block)
        return SYS_EINVAL;
    return h->ops->writer.write_block(h, index, block_size, src, len);
}

int blk_writer_set_size(blk_handle *h, int64_t size)
{
    if (!h->ops || !h->ops->writer.set_size)
        return SYS_EINVAL;
    return h->ops->writer.set_size(h, size);
}

void blk_writer_close(blk_handle *h)
{
    if (h->ops && h->ops->writer.close)
        h->ops->writer.close(h);
}
