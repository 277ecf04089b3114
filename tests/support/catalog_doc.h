// Component catalogs (components.json) for the tests, written and signed as a
// publisher would: real issue and expiry times around the present, a sequence
// chosen by the test, and a detached signature made with the project's own
// catalog_sign from a key the test holds.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

// One component of the catalog.
struct test_component {
    std::string id;
    std::string title;                  // "" gives no "title" member
    bool is_default = false;            // "default": true
    bool required = false;              // "required": true
    std::vector<std::string> requires_ids;  // "requires"
};

// One package of a release.
struct test_package {
    std::string component;
    std::string match = "{\"os\": \"windows\", \"arch\": \"x86_64\"}";  // the "match" object
    uint64_t size = 1000;
};

// One release.
struct test_release {
    std::string version;
    std::vector<test_package> packages;
    int rollout_percent = -1;  // -1 gives no "rollout_percent" member (100)
};

// A whole catalog document.
struct test_catalog {
    std::string product = "orvantis";
    std::string channel = "alpha";
    int64_t sequence = 1;
    int64_t issued = 0;   // seconds since 1970; 0: an hour before now
    int64_t expires = 0;  // 0: a week after now
    std::vector<test_component> components;
    std::vector<test_release> releases;
    std::string min_setup;  // "" gives no "min_setup" member
    // The JSON text, with CR LF line ends between the members.
    std::string json() const;
};

// Seconds since 1970 now (UTC).
int64_t test_now();
// "YYYY-MM-DDTHH:MM:SSZ" of seconds since 1970.
std::string test_iso_time(int64_t t);
// The text of a ".sig" file: base64 of catalog_sign over doc with the 32-byte
// private key (seed), followed by a line feed; "" with a test failure when
// signing fails.
std::string test_catalog_sig(const std::string &doc, const uint8_t seed[32]);
