// The package unpacker. A package is one zstd frame holding a ustar archive of
// plain files and directories; unpacking streams it through one input and one
// output buffer, refuses everything but safe relative paths within the size
// and count limits, writes the files below a destination directory and hashes
// each one while writing it. The result is the list of entries in archive
// order, which the install engine merges, switches and tests.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Limits of one package.
#define UNPACK_MAX_FILE 536870912ull  // bytes of one file (512 MiB)
#define UNPACK_MAX_ENTRIES 4096u      // entries of one archive
#define UNPACK_MAX_PATH 250u          // characters of one entry's path
#define UNPACK_MAX_DEPTH 8u           // components of one entry's path
// Room above the caller's byte limit that the decompressed stream may take
// for headers and padding: 4 MiB and one 4096-byte page.
#define UNPACK_TAR_SLACK 4198400ull
// Destinations must be shorter than this (as for fs_create_dirs).
#define UNPACK_DEST_MAX 1024u
// Result of an unpack that failed because the disk was full.
#define UNPACK_DISK_FULL (-2)

// Modes of unpacked entries.
#define PKG_MODE_EXEC 0755   // directories, and files with any execute bit in the header
#define PKG_MODE_PLAIN 0644  // other files

// One unpacked entry.
struct pkg_entry {
    char path[256];      // relative path, "/" separators, no trailing "/"
    int32_t is_dir;      // 1 for a directory, 0 for a file
    int32_t mode;        // PKG_MODE_EXEC or PKG_MODE_PLAIN
    uint64_t size;       // file size; 0 for a directory
    uint8_t sha256[32];  // SHA-256 of the file's content; zero for a directory
};

// Unpacks the package at archive into dest (created with its parents).
// Returns 0 with *entries (malloc'ed, owned by the caller, released with free)
// and *count set; or -1 with *entries null, *count 0 and one lower-case
// sentence in err (when err and errlen are both set); UNPACK_DISK_FULL in
// place of -1 when the disk had no room for a file, with "cannot write %s:
// the disk is full" (the entry's path). limit bounds the total
// of all file sizes. Files and directories made before a failure stay on
// disk: the caller removes dest.
int unpack_tar_zstd(const char *archive, const char *dest, uint64_t limit, pkg_entry **entries,
                    size_t *count, char *err, size_t errlen);

// The file operations of an unpack run. unpack_tar_zstd passes the real ones
// (fs_create_dirs and the runtime's file calls); tests pass their own to watch
// what is written and to make one operation fail.
struct unpack_io {
    void *ctx;  // handed to every call
    // Creates path with its parents: 0 when a directory stands there
    // afterwards, -1 otherwise (errno ENOSPC for a full disk).
    int (*make_dirs)(void *ctx, const char *path);
    // Creates the file path new, without text translation, failing when
    // something exists there: 0 with *file set, or the runtime's error number
    // (ENOSPC for a full disk).
    int (*create_file)(void *ctx, const char *path, intptr_t *file);
    // Writes len bytes (len fits in 32 bits): the count written, or -1 (errno
    // ENOSPC for a full disk). A short count is taken for a full disk too,
    // whatever errno says.
    int64_t (*write_file)(void *ctx, intptr_t file, const void *data, size_t len);
    // Closes the file: 0, or -1 (errno ENOSPC for a full disk) when its data
    // may not have reached the disk.
    int (*close_file)(void *ctx, intptr_t file);
};

// What unpacking the archive at path holds in memory: the decoder with the
// window its zstd frame header asks for, and the two stream buffers. Read
// from the header alone; UNPACK_MEMORY_UNKNOWN when the file cannot be read
// or its header asks for more than the decoder takes (unpacking it fails).
uint64_t unpack_memory(const char *archive);
#define UNPACK_MEMORY_UNKNOWN UINT64_MAX

// unpack_tar_zstd with the file operations of io (not null).
int unpack_tar_zstd_io(const unpack_io *io, const char *archive, const char *dest, uint64_t limit,
                       pkg_entry **entries, size_t *count, char *err, size_t errlen);
