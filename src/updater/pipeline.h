// The install engine's package pipeline: the packages of one run are fetched
// several at once, each unpacked and checked into a scratch directory of its
// own as soon as its download passed its checks while the others still
// download, and merged into the staging directory in their order. The steps,
// the byte progress and the outcome are those of a run that takes one
// package after the other. Windows only (pipeline_win.cpp).
#pragma once
#include <stddef.h>

#include "install.h"

// What the pipeline of one install_components run works with, and what it
// leaves for the run: the downloaded files and the merged entries.
struct pipeline_run {
    const updater_config *cfg;            // the settings
    const install_request *req;           // the request, at most INSTALL_MAX_ARTIFACTS artifacts
    updater_state *st;                    // the caller's state, written when the version is marked
    const char *downloads;                // "<state_dir>/downloads"
    const char *staging;                  // the staging directory, already made
    char *files[INSTALL_MAX_ARTIFACTS];   // downloaded file of each artifact (heap), or null
    install_merged merged;                // entries merged into staging so far
};

// Fetches, unpacks, checks and merges every package of run->req into
// run->staging. 0, or 1 with the sentence of the first failure in the
// packages' order in err; a package that cannot be unpacked, checked or
// merged marks the version as failed (a full disk or a download changed
// after its checks does not). Scratch directories are gone afterwards.
int install_packages(pipeline_run *run, char *err, size_t errlen);
// Deletes every file in the downloads directory (the directory stays), after
// a successful installation: the run's downloads and what earlier runs left
// of other releases, ".part" files included. Failures are ignored.
void pipeline_clear_downloads(const char *downloads);
// Frees the files and the merged entries that run holds.
void pipeline_release(pipeline_run *run);
