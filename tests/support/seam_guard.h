// Puts a table of system functions back as it was when the guard goes out of
// scope, so a test that points one entry at a fake cannot leak it into the next.
#pragma once

template <class Table> struct seam_guard {
    Table &table;  // the live table the unit calls through
    Table saved;   // its contents when the guard was made
    explicit seam_guard(Table &t) : table(t), saved(t) {}
    ~seam_guard() { table = saved; }
    seam_guard(const seam_guard &) = delete;
    seam_guard &operator=(const seam_guard &) = delete;
};
