// Result codes of the platform layer and of the routines built on it.
// 0 is success; the negative values below are the only failures it reports.
#pragma once

enum {
    SYS_OK = 0,
    SYS_EFAIL = -1,    // any failure without a code of its own
    SYS_ENOMEM = -2,   // out of memory
    SYS_EINVAL = -3,   // invalid argument, or a request beyond a limit of the layer
    SYS_ENOENT = -4,   // the file, directory or path does not exist
    SYS_EEXIST = -5,   // the target exists already (or a non-directory is in the way)
    SYS_ENOTSUP = -6,  // not offered on this platform
    SYS_ECORRUPT = -7, // data that does not decompress
    SYS_EBUSY = -9     // a lock is held by another handle
};

// The result code for a Windows error code (as GetLastError gives it):
// not found -4, out of memory -2, exists -5, invalid parameter -3, anything
// else (0 and 1 included) -1.
int sys_map_error(unsigned long win_error);
