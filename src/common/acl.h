// Files and directories that only LocalSystem and BUILTIN\Administrators may
// use: creating them, checking and repairing a directory's access list,
// private temporary directories, and checking an open file.
//
// The Windows routines live in acl_win.cpp. The rules that decide whether an
// access list is good enough work on plain records and live in acl.cpp, so
// they are checked without Windows too.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "orv_attr.h"

// Access list of a protected file: no inherited entries, full access for
// LocalSystem and Administrators, nothing inherited further.
#define ACL_SDDL_FILE "D:P(A;;FA;;;SY)(A;;FA;;;BA)"
// The same for a directory, with entries that files and folders inside inherit.
#define ACL_SDDL_DIR "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
// The characters of a name made by acl_mkdtemp.
#define ACL_NAME_ALPHABET "abcdefghijklmnopqrstuvwxyz0123456789"

// Entry types and flags as Windows numbers them (ACE_HEADER).
enum {
    ACL_ACE_ALLOWED = 0,          // ACCESS_ALLOWED_ACE_TYPE
    ACL_OBJECT_INHERIT = 0x1,     // OBJECT_INHERIT_ACE
    ACL_CONTAINER_INHERIT = 0x2   // CONTAINER_INHERIT_ACE
};
// Rights that let an account read or change a file's data: GENERIC_READ,
// GENERIC_WRITE, GENERIC_ALL, FILE_READ_DATA, FILE_WRITE_DATA, FILE_APPEND_DATA.
#define ACL_DATA_RIGHTS 0xD0000007u

// Whom an allowed entry names, as far as the rules care.
enum { ACL_WHO_OTHER = 0, ACL_WHO_SYSTEM = 1, ACL_WHO_ADMINS = 2 };

// One entry of an access list.
struct acl_entry {
    int readable;   // 0 when the entry could not be read; the other fields are then unset
    unsigned type;  // entry type; only ACL_ACE_ALLOWED entries are judged
    unsigned flags; // inheritance flags (ACL_OBJECT_INHERIT, ACL_CONTAINER_INHERIT, ...)
    uint32_t mask;  // access rights
    int who;        // ACL_WHO_* of an allowed entry's account
};

// An access list as read from a file or directory.
struct acl_view {
    int present;               // 1 when there is a list; 0 for a null list (everyone may do anything)
    int is_protected;          // 1 when the list inherits nothing from the parent
    const acl_entry *entries;  // count entries in list order
    size_t count;
};

// 1 when a directory's list is as acl_protect_dir leaves it: present,
// protected, every allowed entry for LocalSystem or Administrators (any
// mask), and for each of the two at least one entry that both files and
// folders inherit. Other entry types are not looked at. 0 otherwise,
// also when an entry could not be read.
int acl_dir_is_protected(const acl_view *v);
// 1 when no account other than LocalSystem and Administrators holds an
// allowed entry with ACL_DATA_RIGHTS; 0 for a null list, such an entry, or an
// entry that could not be read.
int acl_fd_is_private(const acl_view *v);

// snprintf into an error buffer: nothing is written when buf is null or size
// is 0; the result is the length the whole text would have had.
int acl_format(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);
// 1 when tmpl can name an acl_mkdtemp directory: longer than 5 characters
// and ending in "XXXXXX".
int acl_template_ok(const char *tmpl);
// Writes six name characters to out (no NUL): character i is the alphabet's
// character at random[i] modulo 36.
void acl_name_from_random(char *out, const unsigned char random[6]);

// ---- Windows only -----------------------------------------------------------

// Creates path as a file only LocalSystem and Administrators may use, for
// writing in binary mode. exclusive: fail with EEXIST when it exists;
// otherwise an existing file is emptied and given the protected list too.
// Returns a runtime descriptor the caller closes, or -1 with errno EEXIST,
// ENOENT, EACCES or EMFILE. The parent directory must exist.
int acl_create_file(const char *path, int exclusive);
// Creates path with its parents when needed and puts the protected
// directory list on it: 0, or -1 when either step fails (a directory made
// before a failed list change stays).
int acl_protect_dir(const char *path);
// Creates path with its parents when needed; 0 when it is already protected,
// 1 when acl_protect_dir was needed and worked, -1 when that failed.
int acl_check_dir(const char *path);
// Replaces the trailing "XXXXXX" of tmpl with random characters naming a new
// protected directory (the parent must exist) and returns tmpl; or NULL with
// errno EINVAL, EACCES, EIO, ENOENT or EEXIST (100 names taken) and the
// template's tail back to "XXXXXX".
char *acl_mkdtemp(char *tmpl);
// 0 when no account other than LocalSystem and Administrators may read or
// write the open file fd; -1 with a sentence naming path in err otherwise.
// Under Wine, which keeps no real access lists, always 0.
int acl_check_fd(int fd, const char *path, char *err, size_t errlen);
