// Facts about this computer that packages are matched against: operating
// system, processor architecture, Windows build and edition, and for the
// product's Linux builds the distribution fields of an os-release file.
#pragma once
#include <stdint.h>

// Every text is NUL-terminated; a longer value is cut to the field's size - 1.
struct host_facts {
    char os[16];          // operating system in lower case: "windows"
    char arch[16];        // "x86_64", "arm64" or "x86"
    char id[48];          // distribution id (os-release ID); empty on Windows
    char id_like[160];    // related distribution ids, blank-separated; empty on Windows
    char version_id[48];  // distribution version (os-release VERSION_ID); empty on Windows
    char glibc[24];       // glibc version of a Linux system; empty on Windows
    uint32_t build;       // Windows build number; 0 when it cannot be read
    uint32_t server;      // 1 on a server edition (domain controllers too), else 0
};

// Fills hf for this computer: os "windows", the native architecture, the build
// number and the edition. Never fails: what cannot be read stays 0 or empty.
void host_facts_detect(host_facts *hf);

// Reads ID, ID_LIKE and VERSION_ID from the whole text of an os-release file
// (NUL-terminated) into hf, after emptying those three; other fields stay.
// Returns 0 when an ID was found, else -1.
int host_facts_parse_os_release(const char *text, host_facts *hf);

// The architecture text for a native machine type as IsWow64Process2 reports
// it (IMAGE_FILE_MACHINE_*; have_machine 0 when that call is missing or
// failed), falling back to a wProcessorArchitecture value of
// GetNativeSystemInfo (PROCESSOR_ARCHITECTURE_*). A static text.
const char *host_facts_arch(int have_machine, unsigned machine, unsigned processor_architecture);
