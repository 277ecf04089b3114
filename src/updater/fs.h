// The update engine's file routines: directories with their parents, moving a
// finished file over its name in one step, and removing files, empty
// directories and whole trees without following links. Paths are 8-bit texts
// in the ANSI code page; "/" and "\" both separate levels. Results are 0 or -1.
#pragma once

// Paths of fs_create_dirs must be shorter than this.
#define FS_PATH_MAX 1024

// Appended to an fopen mode: the Windows runtime then opens the file without
// inheritance (its files are inheritable otherwise), so that no program that
// another thread starts while the file is open holds it and keeps it from
// being moved, replaced or started; other runtimes ignore the letter.
#define FS_NOINHERIT "N"

// Creates path and every missing parent: 0 when a directory stands at path
// afterwards (also when it stood there before), -1 otherwise, also when a
// file or anything else that is not a directory is in the way, and at once
// for a path of FS_PATH_MAX characters or more.
int fs_create_dirs(const char *path);
// Moves source over destination, replacing it in one step, and returns once
// the move is on disk: 0, or -1 with both left as they were.
int fs_replace_file(const char *source, const char *destination);
// Removes the directory path with everything in it. Links and other reparse
// points inside are removed themselves, never followed. 0 when all of it
// went, -1 when anything stayed.
int fs_remove_tree(const char *path);
// Removes whatever is at path (a tree as fs_remove_tree does); 0 also when
// nothing is there.
int fs_remove_path(const char *path);
// Removes path when it is an empty directory: 0, else -1.
int fs_remove_dir(const char *path);
// 1 when errno_value (ENOSPC) or the thread's last Windows error
// (ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL) says that the disk, or the
// user's quota on it, is full; read right after the call that failed.
int fs_disk_full(int errno_value);
// 1 when the disk that holds path (a file or a directory) has less than
// need bytes left for this user: asked after a write failed without saying
// why, as one does that stops part way on a disk that filled up. 0 also
// when the free space cannot be read.
int fs_disk_short(const char *path, unsigned long long need);
