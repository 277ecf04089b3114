// The one mapping from Windows error codes onto the layer's result codes.
// Kept free of Windows headers so it is checked in the native build too; the
// numbers are the documented values of the winerror.h names beside them.
#include "sys_result.h"

int sys_map_error(unsigned long win_error)
{
    switch (win_error) {
    case 2:   // ERROR_FILE_NOT_FOUND
    case 3:   // ERROR_PATH_NOT_FOUND
        return SYS_ENOENT;
    case 8:   // ERROR_NOT_ENOUGH_MEMORY
        return SYS_ENOMEM;
    case 80:  // ERROR_FILE_EXISTS
    case 183: // ERROR_ALREADY_EXISTS
        return SYS_EEXIST;
    case 87:  // ERROR_INVALID_PARAMETER
        return SYS_EINVAL;
    default:
        return SYS_EFAIL;
    }
}
