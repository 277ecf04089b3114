// The one record of a setup run: what to do, the engine's settings, this
// computer, the catalog, the choice of components, the integration settings,
// the front end's callbacks and the run's report.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "catalog.h"
#include "host_facts.h"
#include "updconf.h"

// What the run does (`mode`).
enum {
    SETUP_MODE_INSTALL = 0,   // install or update
    SETUP_MODE_MODIFY = 1,    // change which components are installed
    SETUP_MODE_REPAIR = 2,    // install the installed version again
    SETUP_MODE_UNINSTALL = 3, // remove the programs
    SETUP_MODE_LIST = 4       // print the catalog's components
};

// Which front end runs (`front_end`).
enum { SETUP_FRONT_CONSOLE = 0, SETUP_FRONT_WIZARD = 2 };

// Sizes of the record's text fields, NUL included.
enum {
    SETUP_CONFIG_PATH_SIZE = 1100,
    SETUP_REPORT_SIZE = 4096,
    SETUP_MAX_COMPONENTS = CATALOG_MAX_COMPONENTS
};

// A new step of a run; the step text is the engine's English step name.
typedef int (*setup_step_fn)(void *user, const char *step, size_t index, size_t count);
// Byte progress of the package being downloaded.
typedef void (*setup_bytes_fn)(void *user, uint64_t done, uint64_t total);
// A message for the user beside the report: level 1 warning, 2 error.
typedef void (*setup_message_fn)(void *user, int level, const char *text);

// The front end's callbacks; each may be null, and callers test before calling.
struct setup_callbacks {
    setup_step_fn step_fn;       // new step of a run
    setup_bytes_fn bytes_fn;     // download progress
    setup_message_fn message_fn; // warning or error beside the report
    void *callback_user;         // passed first to all three
};

// Allocated zero-filled by main and owned by it for the whole run; lent by
// pointer to every flow and to the wizard, used by one thread at a time.
struct setup_context {
    int32_t mode;                    // SETUP_MODE_*
    int32_t silent;                  // 1: run without window
    struct updater_config updater_config; // the engine's settings, lent to the engine
    int32_t url_set;                 // 1: "--url" came from the answers file or command line
    int32_t channel_set;             // the same for "--channel"
    int32_t ca_file_set;             // the same for "--ca-file"
    int32_t public_key_set;          // the same for "--public-key"
    struct host_facts host_facts;    // this computer, for package matching
    char config_path[SETUP_CONFIG_PATH_SIZE]; // the updater.conf read and written
    char root[512];                  // test-mode root ("--root"); empty outside test mode
    char target_version[64];         // release pin ("--to")
    char preset[32];                 // preset name ("--preset"); emptied once applied
    char component_list[256];        // comma list ("--components"); emptied once applied
    struct component_catalog component_catalog; // the loaded catalog; released with catalog_free
    int32_t catalog_loaded;          // 1 once the catalog is loaded and accepted
    char catalog_url[1100];          // URL of the catalog; base of relative package URLs
    uint8_t selected[SETUP_MAX_COMPONENTS]; // one flag per catalog component, 1 = selected
    char installed_components[256];  // comma list of the installed components (state)
    char installed_version[64];      // installed version (state)
    int32_t updater_schedule;        // 1: set up the daily update task
    int32_t update_task_state;       // daily task exists: 1 yes, 0 no, -1 not looked up
    int32_t resume_task;             // 1: set up the boot task that resumes backups
    int32_t scheduler_service;       // 1: run the scheduler program as a service
    int32_t sched_api;               // 1: switch the scheduler's HTTPS API on
    int32_t console_link;            // 1: link the management console to this computer
    char console_user[256];          // Windows user for the console link
    int32_t console_role_admin;      // 1: the console token is "admin", 0: "read"
    int32_t console_release;         // other consoles: -1 unchanged, 0 off, 1 read, 2 admin
    int32_t configure_client;        // 1: connect this computer to a backup server
    char client_server[256];         // the backup server as host:port
    char client_dir[64];             // the directory on the backup server
    char client_server_cert[512];    // file with the backup server's certificate (PEM)
    char client_api_key[300];        // the API key itself
    char client_api_key_file[512];   // file that holds the API key
    int32_t client_test;             // 1: test the connection after the install
    int32_t configure_server;        // 1: backup-server settings were asked for
    char server_storage[512];        // backup-server storage directory
    char server_cn[128];             // backup-server certificate name
    int32_t server_port;             // backup-server port
    char server_dirs[256];           // backup-server directories
    int32_t default_jobs;            // 1: default jobs on the backup server
    int32_t target_api;              // 1: the backup server's target API
    char target_api_token[65];       // name of the backup server's API token
    int32_t purge;                   // 1: uninstall removes settings and data too
    int32_t front_end;               // SETUP_FRONT_*
    setup_callbacks callbacks;       // the front end's callbacks
    char report[SETUP_REPORT_SIZE];  // the run's report, one line each
};
