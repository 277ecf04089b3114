// The management console's link to this computer's job scheduler, and the
// small account, data-directory and key-file routines around it: the token's
// name, the hand-over file's text and the quoting of a failed command's
// output are plain text work (setup_link.cpp); the account lookups, the
// hand-over file itself and the key file live in setup_link_win.cpp.
#pragma once
#include <stddef.h>
#include <wchar.h>

#include "setup_context.h"

enum {
    LINK_TOKEN_NAME_MAX = 65,    // a token name, its NUL included (at most 64 characters)
    LINK_CONTENT_SIZE = 1200,    // the hand-over file's text, its NUL included
    LINK_QUOTE_MAX = 300,        // bytes of a failed program's output quoted in a message
};

// ---- plain text -------------------------------------------------------------

// The token name for a Windows user name (without domain, UTF-8): "konsole-"
// and the name with letters, digits and "_" kept and every run of other
// characters (a multi-byte character counting as one) turned into one "-",
// no "-" right after the prefix, at most 64 characters in all, no "-" at the
// end; "konsole" when nothing is left of the name. Returns out.
char *link_token_name(const char *user, char out[LINK_TOKEN_NAME_MAX]);
// The hand-over file's text (CR LF line ends) for the full user name, the
// API's port and certificate fingerprint and the token, into buf (size
// bytes, the snprintf contract). Returns the length of the whole text.
int link_handover_text(char *buf, size_t size, const char *full_name, const char *port,
                       const char *fingerprint, const char *token_name, const char *secret);
// Makes a failed program's output fit for a message, in place: the secret of
// a token line ("keep it secret): " and the rest of that line) is cut out,
// every CR and LF becomes a blank, and the text is cut at LINK_QUOTE_MAX
// bytes without splitting a UTF-8 character. Returns text.
char *link_quote_output(char *text);

// ---- Windows (setup_link_win.cpp) -------------------------------------------

// Writes the hand-over file for ctx->console_user: a new API token from the
// installed scheduler program, readable by that user only besides SYSTEM and
// Administrators. 0, or -1 with a German sentence in err.
int win_console_link(setup_context *ctx, char *err, size_t errlen);
// Looks the account name up on this computer. sid_out (sid_cap units) gets
// the SID text, full_out (full_cap bytes, UTF-8) "domain\name" or the name,
// user_out (user_cap bytes, UTF-8) the name alone; each may be null. An
// output that cannot be converted is left empty. 0, or -1 with a German
// sentence in err (also for a name that is no user account).
int win_lookup_account(const char *name, wchar_t *sid_out, size_t sid_cap, char *full_out,
                       int full_cap, char *user_out, int user_cap, char *err, size_t errlen);
// win_lookup_account with the full name only: the check of a typed user name.
int win_check_user(const char *name, char *full_out, int full_cap, char *err, size_t errlen);
// The user logged on in this process's session as "domain\name" (UTF-8, cap
// bytes): 0, or -1 with out empty.
int win_session_user(char *out, int cap);
// Checks and repairs the data directory and its logs folder so that only
// SYSTEM and Administrators may use them, and reports it. 0, or -1 with a
// German sentence in err.
int setup_restrict_data_dir(setup_context *ctx, char *err, size_t errlen);
// Writes text into a new or emptied file at path that only SYSTEM and
// Administrators may use, then has "icacls" set the same rights. -1 with a
// sentence in err when the file cannot be written; 0 when it is written, with
// a sentence in err when icacls failed (the file was created protected).
int win_write_key_file(const char *path, const char *text, char *err, size_t errlen);
// Always -1 with the sentence that a backup server cannot run on Windows.
int setup_server_unsupported(setup_context *ctx, char *err, size_t errlen);
