// The installation as Windows sees it: the program directory in the system
// PATH, the entry under "Installierte Apps" (the uninstall key), the
// Start-menu folder "orvantis" with its links, and their removal together
// with the tasks, the scheduler service and the console hand-over files; and
// the purge of the settings and the data directory.
//
// The PATH text and the purge guard are worked out in registration.cpp, in
// both builds; the registry, the links and the files are in
// registration_win.cpp. In test mode (ctx->root set) registering and
// unregistering do nothing; purging works below the test root.
#pragma once
#include <stddef.h>
#include <wchar.h>

#include "setup_context.h"

#define REGISTRATION_UNINSTALL_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\orvantis"
#define REGISTRATION_ENVIRONMENT_KEY "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment"

enum {
    REGISTRATION_PATH_VALUE = 8192, // the "Path" value read and written, its NUL included
    REGISTRATION_PROGRAM = 700,     // a program path, the PATH entry, a link file
    REGISTRATION_MENU = 600,        // the Start-menu folder, the data directory
    REGISTRATION_COMMAND = 1000,    // UninstallString and ModifyPath
    REGISTRATION_HANDOVER = 900,    // one hand-over file of the management console
    REGISTRATION_LINK_UNITS = 260   // UTF-16 units of a link's target, arguments and file
};

// ---- texts (both builds) ----------------------------------------------------------

// The new "Path" text for adding (add 1) or removing (add 0) dir in old.
// Entries are the pieces between ";"; one matches dir when it has dir's
// length and equals it without regard to ASCII case. Adding appends ";" (not
// after an empty text or a final ";") and dir; removing joins the other
// non-empty entries with single ";". Returns 1 with the text in out (size
// bytes) to be written; 0 when adding finds dir already there (nothing to
// write); -1 when the new text does not fit (out then empty): the old value
// must stay as it is.
int registration_path_edit(const char *old, const char *dir, int add, char *out, size_t size);
// 1 when path may be removed as the data directory: longer than 8 characters
// and ending in "\orvantis" (ASCII case ignored). A ProgramData so long that
// the path was cut fails here.
int registration_purge_allowed(const char *path);

// ---- Windows ------------------------------------------------------------------------

// Registers the installation: PATH entry, uninstall key, Start-menu links
// (the consoles' links only for installed consoles, an old one deleted
// otherwise). 0; -1 with a sentence when the installation has no orv_setup,
// and then nothing is registered. Test mode: 0 and nothing done. Failures of
// single items are not reported.
int win_register_install(setup_context *ctx, char *err, size_t errlen);
// Removes the tasks, the scheduler service and its firewall rule, the console
// hand-over files, the PATH entry, the uninstall key and the Start-menu
// links and folder, each step whatever became of the others. Always 0.
int win_unregister_install(setup_context *ctx);
// Deletes updater.conf and the data directory and reports the outcome.
void setup_purge(setup_context *ctx);
// Adds dir to the system PATH (add 1) or removes it (add 0) and tells the
// running programs; an entry already there is not added twice. A PATH that
// cannot be read whole, or that would not fit, is left as it is.
void win_path_edit(const char *dir, int add);
// Writes the shell link link_path to target with arguments and description
// (paths in the ANSI code page). A link that cannot be written is missing.
void win_shortcut(const char *target, const char *arguments, const wchar_t *description,
                  const char *link_path);
