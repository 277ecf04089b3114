// The update engine's file routines on the runtime's _mkdir and the 8-bit
// Win32 file functions.
#include <direct.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "fs.h"

// Buffers of fs_remove_tree: the listing pattern "%s\*" and one entry's path.
#define FS_PATTERN_BUF 1500
#define FS_ENTRY_BUF 1700

// 1 when attrs (from GetFileAttributesA) describe a real directory: links
// and other reparse points are not descended into.
static int is_plain_dir(DWORD attrs)
{
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}

int fs_create_dirs(const char *path)
{
    if (!path)
        return -1;
    size_t len = strlen(path);
    if (len >= FS_PATH_MAX)
        return -1;
    char copy[FS_PATH_MAX];
    memcpy(copy, path, len + 1);
    // Every level on the way, the drive "C:" included; errors here show in
    // the last step.
    for (size_t i = 1; i < len; i++) {
        char c = copy[i];
        if (c != '/' && c != '\\')
            continue;
        copy[i] = '\0';
        _mkdir(copy);
        copy[i] = c;
    }
    if (_mkdir(copy) == 0)
        return 0;
    if (errno != EEXIST)
        return -1;
    // EEXIST also comes for a file of that name: only a directory will do.
    DWORD attrs = GetFileAttributesA(copy);
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) ? 0 : -1;
}

int fs_replace_file(const char *source, const char *destination)
{
    if (!source || !destination)
        return -1;
    return MoveFileExA(source, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : -1;
}

// Removes something that is not a plain directory: a file, or a link to a
// directory, which RemoveDirectoryA removes itself without touching its target.
static int remove_entry(const char *path)
{
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);  // clears read-only
    if (DeleteFileA(path) || RemoveDirectoryA(path))
        return 0;
    return -1;
}

// One level of fs_remove_tree, with its buffers on the heap: a deep tree
// would otherwise take several KiB of stack per level.
struct tree_level {
    char pattern[FS_PATTERN_BUF];  // "%s\*" of the directory being emptied
    char entry[FS_ENTRY_BUF];      // "%s\%s" of the entry at hand
    WIN32_FIND_DATAA found;        // the entry as the listing delivered it
};

int fs_remove_tree(const char *path)
{
    if (!path)
        return -1;
    int failed = 0;
    tree_level *lv = (tree_level *)malloc(sizeof *lv);
    HANDLE find = INVALID_HANDLE_VALUE;
    if (!lv) {
        failed = 1;
    } else {
        // A pattern that does not fit would list some other directory.
        int n = snprintf(lv->pattern, sizeof lv->pattern, "%s\\*", path);
        if (n >= 0 && (size_t)n < sizeof lv->pattern)
            find = FindFirstFileA(lv->pattern, &lv->found);
    }
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const char *name = lv->found.cFileName;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
                continue;
            // A path cut short would name another file: leave the entry and fail.
            int n = snprintf(lv->entry, sizeof lv->entry, "%s\\%s", path, name);
            if (n < 0 || (size_t)n >= sizeof lv->entry) {
                failed = 1;
                continue;
            }
            DWORD attrs = GetFileAttributesA(lv->entry);
            if (attrs == INVALID_FILE_ATTRIBUTES)
                continue;  // gone meanwhile
            if (is_plain_dir(attrs) ? fs_remove_tree(lv->entry) != 0 : remove_entry(lv->entry) != 0)
                failed = 1;
        } while (FindNextFileA(find, &lv->found));
        FindClose(find);
    }
    free(lv);
    if (!RemoveDirectoryA(path))
        failed = 1;
    return failed ? -1 : 0;
}

int fs_remove_path(const char *path)
{
    if (!path)
        return -1;
    DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES)
        return 0;
    if (is_plain_dir(attrs))
        return fs_remove_tree(path);
    return remove_entry(path);
}

int fs_remove_dir(const char *path)
{
    if (!path)
        return -1;
    return RemoveDirectoryA(path) ? 0 : -1;
}

int fs_disk_full(int errno_value)
{
    DWORD e = GetLastError();
    return errno_value == ENOSPC || e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL;
}

int fs_disk_short(const char *path, unsigned long long need)
{
    if (!path)
        return 0;
    char dir[FS_PATH_MAX];
    size_t len = strlen(path);
    if (len >= sizeof dir)
        return 0;
    memcpy(dir, path, len + 1);
    ULARGE_INTEGER room;
    // The free space is asked of a directory: a file's path is cut to the
    // directory it is in.
    if (!GetDiskFreeSpaceExA(dir, &room, NULL, NULL)) {
        char *slash = strrchr(dir, '\\'), *other = strrchr(dir, '/');
        if (other > slash)
            slash = other;
        if (!slash)
            return 0;
        *slash = '\0';
        if (!GetDiskFreeSpaceExA(dir, &room, NULL, NULL))
            return 0;
    }
    return room.QuadPart < need;
}
