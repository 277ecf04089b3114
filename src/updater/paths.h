// Where the product keeps its settings and logs, and who may read them.
#pragma once

// "<ProgramData>\orvantis", or "C:\ProgramData\orvantis" when ProgramData is
// unset or empty. Worked out on the first call and kept in a process-wide
// 400-byte buffer for the life of the process.
const char *paths_data_dir(void);
// Checks dir and "<dir>\logs" and, where needed, restricts them to SYSTEM and
// Administrators (creating them when missing). 0 when both were protected
// already, 1 when at least one was protected now, -1 when either failed; the
// logs directory is not touched when dir itself fails.
int paths_check_data_acl(const char *dir);
