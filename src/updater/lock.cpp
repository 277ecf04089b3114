// Reading the agent's answer to "--version" for the adoption.
#include "lock.h"

#include "update.h"

int agent_version_scan(const char *text, char version[LOCK_VERSION_MAX])
{
    return update_sscanf(text, "orv_agent %63s", version);
}
