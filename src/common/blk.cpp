// The pure parts of the block layer: the raw-device prefix, the record's
// reset and the block offset. No Windows header.
#include "blk.h"

#include <string.h>

int blk_is_device_path(const char *path)
{
    // "\\.\PhysicalDrive" is one case of the device namespace prefix.
    return path && strncmp(path, "\\\\.\\", 4) == 0;
}

void blk_reset(blk_handle *h, const char *path, const blk_ops *ops)
{
    h->kind = BLK_FILE;
    h->handle = BLK_NO_HANDLE;
    h->ops = ops;
    size_t n = path ? strnlen(path, BLK_PATH_MAX - 1) : 0;
    if (n)
        memcpy(h->path, path, n);
    h->path[n] = '\0';
}

int blk_block_offset(uint64_t index, uint32_t block_size, uint64_t *offset)
{
    if (block_size && index > UINT64_MAX / block_size)
        return SYS_EINVAL;
    *offset = index * block_size;
    return SYS_OK;
}
