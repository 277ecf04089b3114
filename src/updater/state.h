// The updater's state file: what is installed, what failed on this computer,
// and the sequences of the last accepted manifest and catalog.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "updconf.h"

// Size of a state text: eight lines with the longest values fit.
enum { STATE_TEXT_MAX = 2048 };

// The state of one installation. All-zero is the empty state: nothing
// installed, no sequence seen. Every text is NUL-terminated.
struct updater_state {
    int64_t last_sequence;          // sequence of the last accepted manifest, never negative
    char sequence_channel[64];      // channel of that manifest
    char installed_version[64];     // installed release's version, or empty
    char previous_version[64];      // version installed before it, or empty
    char bad_versions[512];         // versions that failed here, blank-separated, oldest first
    int64_t last_catalog_sequence;  // sequence of the last accepted catalog, never negative
    char catalog_channel[64];       // channel of that catalog
    char components[256];           // installed component ids joined by ","
};

// Takes one line of a state file (its line feed and carriage returns already
// dropped) into st; a line that fits no rule changes nothing.
void state_parse_line(updater_state *st, const char *line);
// Zeroes st and takes every line of a state text of len bytes in turn; the
// last line of a key wins. The text is cut into lines in place, so the buffer
// needs one byte more than len.
void state_parse_text(updater_state *st, char *text, size_t len);
// Formats the eight lines of st into buf with the snprintf contract; returns
// the length of the whole text.
int state_format(const updater_state *st, char *buf, size_t size);

// The key of the first field of st whose value would not read back as it is
// after state_format and state_parse_text (a line feed inside a text, a
// carriage return at its end, a version or component list the reader would
// drop, a negative sequence), or null when every field reads back the same.
// Text fields count up to their first NUL.
const char *state_unreadable_field(const updater_state *st);
// 1 when list would read back from the state file as it stands: at most 255
// characters of component ids joined by "," (the empty list too); 0 for a
// longer list, an empty or invalid id, or a trailing comma.
int state_components_readable(const char *list);
// The readable part of list into out: its valid ids in their order, joined
// by "," as long as they fit 255 characters; empty pieces, invalid ids and
// the ids past the limit are dropped. Returns 1 when something was dropped.
int state_components_clean(char out[256], const char *list);
// The sentence for a component list that does not read back as it stands
// (state_components_readable is 0): one too long for the state, by len (the
// whole list's length, when list holds only its start), or one that holds an
// empty or invalid id.
void state_components_refusal(const char *list, size_t len, char *err, size_t errlen);

// Reads "<state_dir>/state" into st; a missing or unreadable file gives the
// empty state. Always returns 0.
int state_read(const updater_config *cfg, updater_state *st);
// Writes st as "<state_dir>/state" through "<state_dir>/state.tmp", moved
// over the old file in one step. 0, or -1 with a sentence in err; a record
// with a value that would not read back as written is refused before
// anything is touched.
int state_write(const updater_config *cfg, const updater_state *st, char *err, size_t errlen);
