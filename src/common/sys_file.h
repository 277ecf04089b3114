// The platform layer's files and directories: handles with positional reads
// and writes, renames, deletion, a lock on the first byte, directory listings
// and directory creation. Every routine that can fail returns a code of
// sys_result.h; out-parameters are written only on success. Paths are 8-bit
// texts in the ANSI code page; "\" and "/" both separate levels.
// Nothing here prints, logs or keeps state of its own.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "sys_result.h"

// The system's file handle; 0 and all-ones are never valid. The caller owns a
// handle from the routine that hands it out until sys_file_close.
typedef void *sys_handle;

// Flags of sys_file_open_flags.
enum {
    SYS_O_READ = 1,   // read access
    SYS_O_WRITE = 2,  // write access
    SYS_O_CREAT = 4,  // create the file when it is missing
    SYS_O_EXCL = 8,   // with SYS_O_CREAT: fail (-5) when the file exists
    SYS_O_TRUNC = 16  // empty an existing file
};

// Buffers for a listing pattern and the working copy of sys_mkdir_p: a path
// of SYS_PATH_BUF bytes or more is refused with -3.
#define SYS_PATH_BUF 1100
// One read or write passes its length to the system as a 32-bit count.
#define SYS_IO_MAX 0xFFFFFFFFull
// The largest read that the sector-aligned retry serves (64 MiB).
#define SYS_ALIGNED_READ_MAX 67108864ull

// One directory listing; its fields live in the platform unit.
typedef struct sys_dir sys_dir;

// 1 when h is neither 0 nor all-ones, else 0.
int sys_handle_valid(sys_handle h);
// Opens an existing file for reading (others may read and write it).
int sys_file_open_read(const char *path, sys_handle *out);
// Creates a file for writing, emptying an existing one; mode is ignored.
int sys_file_create(const char *path, int mode, sys_handle *out);
// Opens a file for reading and writing, creating it when missing and keeping
// the content of an existing one; mode is ignored.
int sys_file_open_rw(const char *path, int mode, sys_handle *out);
// Opens with SYS_O_* flags, sharing read, write and delete; mode is ignored.
int sys_file_open_flags(const char *path, int flags, int mode, sys_handle *out);
// Closes h; 0 and all-ones give 0 without a call.
int sys_file_close(sys_handle h);
// Reads up to len bytes at offset into dst without the handle's position;
// *count (may be null) gets the bytes delivered, 0 at or past the end of the
// file. A handle that demands sector-aligned transfers is served through a
// bounce buffer for lengths up to SYS_ALIGNED_READ_MAX. A len above
// SYS_IO_MAX gives -3 without a call.
int sys_file_read_at(sys_handle h, void *dst, size_t len, uint64_t offset, uint64_t *count);
// One positional write of len bytes at offset; *count (may be null) gets the
// bytes written, which may be fewer without an error. No retry. A len above
// SYS_IO_MAX gives -3 without a call.
int sys_file_write_at(sys_handle h, const void *src, size_t len, uint64_t offset,
                      uint64_t *count);
// Flushes the file's buffers to disk.
int sys_file_flush(sys_handle h);
// Asks the file system to mark the file sparse: non-zero when it accepted,
// 0 when not (no result code).
int sys_file_set_sparse(sys_handle h);
// Stands in for an operation this platform does not offer; its arguments are
// not looked at. Always -6.
int sys_not_supported(...);
// Sets the end of the file at size; the file position stays at size.
int sys_file_truncate(sys_handle h, int64_t size);
// The file's size, or for a disk or volume handle the device's length.
int sys_file_size(sys_handle h, uint64_t *out);
// 1 when path names an existing file or directory, else 0.
int sys_exists(const char *path);
// Deletes a file.
int sys_delete(const char *path);
// Removes an empty directory.
int sys_rmdir(const char *path);
// Moves from to to, replacing an existing target.
int sys_rename_replace(const char *from, const char *to);
// Moves from to to and returns once the move is on disk; an existing target
// is not replaced (-5).
int sys_rename_write_through(const char *from, const char *to);
// Locks byte 0 of the file, exclusive or shared; with wait 0 a conflicting
// lock held through another handle gives -9 at once, otherwise the call
// blocks until the lock is granted. Closing the handle releases the lock.
int sys_file_lock(sys_handle h, int exclusive, int wait);
// Releases the lock on byte 0.
int sys_file_unlock(sys_handle h);
// Starts a listing of the directory path; *out is set to null first and to
// the listing on success, which the caller ends with sys_dir_close.
int sys_dir_open(const char *path, sys_dir **out);
// The next entry's name (with its NUL) into name: 1, with *is_dir (may be
// null) set to 1 for a directory; 0 at the end; -1 on any other failure.
// "." and ".." and names that do not fit in size bytes are passed over.
int sys_dir_next(sys_dir *d, char *name, size_t size, int *is_dir);
// Ends the listing and frees d; nothing for null.
void sys_dir_close(sys_dir *d);
// Creates one directory; 0 also when a directory stands there already, -5
// when something else does.
int sys_mkdir(const char *path);
// Creates the directory and every missing parent; 0 also when it exists as a
// directory. A path of SYS_PATH_BUF bytes or more gives -3.
int sys_mkdir_p(const char *path);
