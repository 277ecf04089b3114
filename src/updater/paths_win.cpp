// Restricting the data directory and its logs to SYSTEM and Administrators.
#include <stdio.h>

#include "acl.h"
#include "paths.h"

int paths_check_data_acl(const char *dir)
{
    int first = acl_check_dir(dir);
    if (first < 0)
        return -1;  // the logs directory is left alone
    char logs[600];
    snprintf(logs, sizeof logs, "%s\\logs", dir);
    int second = acl_check_dir(logs);
    if (second < 0)
        return -1;
    return first == 1 || second == 1 ? 1 : 0;
}
