// Which catalog components can be installed on this computer, presets and
// comma lists into the selection, the selection closed over requirements, and
// the texts shown for it: titles, sizes and the download size.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "setup_context.h"

enum {
    SETUP_LIST_WORK = 256,   // work buffer a comma list is copied into
    SETUP_REASON_SIZE = 200  // reason of the Hyper-V check
};

// The Windows facts the choice asks for; tests put their own in.
struct setup_choice_sys {
    // win_hyperv_present: 1 when the component may be installed here, 0 with a reason.
    int (*hyperv_present)(const char *component_id, char *reason, size_t reason_size);
    // rollout_bucket: this computer's staged-rollout bucket for a release version.
    unsigned (*rollout_bucket)(const char *version);
};

// The calls the choice makes; the real ones in the Windows build.
extern setup_choice_sys setup_choice_calls;

// The version of the catalog's newest release (the first of equal versions);
// null for a catalog without releases. It names this computer's rollout bucket.
const char *setup_newest_version(const component_catalog *cat);
// 1 when the comma list holds id as one of its items (blanks at an item's
// start skipped; the id must be followed by the end, a blank or ","), else 0.
int list_contains(const char *list, const char *id);
// 1 when catalog component index can be installed here: the Hyper-V role for
// "hyperv" (unless it is installed already) and a release, pinned by
// target_version when set, with a package of it for this computer, this
// setup version and this computer's rollout bucket. Else 0.
int setup_component_available(setup_context *ctx, size_t index);
// Selects every listed id; an unknown or unavailable one ends the walk with
// -1 and a German message in err (flags set before it stay). 0 otherwise.
int setup_select_list(setup_context *ctx, const char *list, char *err, size_t errlen);
// The same as setup_select_list.
int setup_select_list_strict(setup_context *ctx, const char *list, char *err, size_t errlen);
// Selects the listed ids that exist and are available, ignores the rest; 0.
int setup_select_list_lenient(setup_context *ctx, const char *list);
// Clears the selection and applies the preset "client", "server", "all" or
// "installed". 0, or -1 with "Unbekannte Vorauswahl „%s“ (client, server,
// all)" and the selection left cleared.
int setup_apply_preset(setup_context *ctx, const char *name, char *err, size_t errlen);
// Applies preset, then component_list (strictly), and empties each once
// applied. 0, or -1 with the message of the failing one.
int setup_apply_selection_options(setup_context *ctx, char *err, size_t errlen);
// out := the selection closed over the catalog's requirements (required
// components included), in catalog order, joined by ","; empty without a
// catalog or when the closure fails. Cut at outlen - 1 bytes.
void setup_resolved_list(setup_context *ctx, char *out, size_t outlen);
// out := the titles of the listed components joined by ", " (an id without a
// catalog title stands for itself), within outlen - 1 bytes: a list that does
// not fit ends after the last whole title that fits, with ", …" (room for it
// is kept); a first title too long on its own is cut, never inside a UTF-8
// character.
void setup_display_names(setup_context *ctx, const char *list, char *out, size_t outlen);
// out := bytes in German units: "1 Byte", "999 Bytes", "1,5 kB", "123 MB",
// decimal up to "TB". Cut at outlen - 1 bytes.
void format_size(uint64_t bytes, char *out, size_t outlen);
// Total bytes of the packages an install of the closed selection would
// download for this computer (release chosen as setup_component_available
// does); 0 without a catalog or when no release fits.
uint64_t setup_download_size(setup_context *ctx);
