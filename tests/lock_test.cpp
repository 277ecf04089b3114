// Reading the agent's answer to "--version" for the adoption of a flat
// installation.
#include <gtest/gtest.h>

#include <string>

#include "lock.h"

TEST(AgentVersion, Scan)
{
    struct {
        const char *text;
        int fields;
        const char *version;
    } cases[] = {
        {"orv_agent 2.1.0\r\n", 1, "2.1.0"},
        {"orv_agent 2.1.0-rc.1 (build 20260101)\n", 1, "2.1.0-rc.1"},
        {"orv_agent\n\t3.0.0", 1, "3.0.0"},
        {"orv_agent", -1, ""},
        {"orv_agent \n", -1, ""},
        {"orvantis agent 2.1.0", 0, ""},
        {"ORV_AGENT 2.1.0", 0, ""},
        {"", -1, ""},
    };
    for (const auto &c : cases) {
        char version[LOCK_VERSION_MAX] = "";
        EXPECT_EQ(agent_version_scan(c.text, version), c.fields) << c.text;
        EXPECT_STREQ(version, c.version) << c.text;
    }
    char version[LOCK_VERSION_MAX];
    std::string longer = "orv_agent " + std::string(80, '9');
    EXPECT_EQ(agent_version_scan(longer.c_str(), version), 1);
    EXPECT_EQ(std::string(version), std::string(63, '9'));
}

TEST(StagingName, ProcessIdAfterTheLastDash)
{
    struct {
        const char *name;
        int ok;
        unsigned long pid;
    } cases[] = {
        {".staging-1.0.0-1234", 1, 1234},
        {".staging-2.0.0-alpha.027-88", 1, 88},
        {".staging-1.0.0-1234.p0", 1, 1234},
        {".staging-1.0.0-1234.p31", 1, 1234},
        {".staging-1.0.0-4294967295", 1, 4294967295ul},
        {".staging-1.0.0-4294967296", 0, 0},
        {".staging-1.0.0-12a", 0, 0},
        {".staging-1.0.0-", 0, 0},
        {".staging-1.0.0-12.p", 0, 0},
        {".staging-1.0.0-12.q1", 0, 0},
        {".staging-1.0.0-12.p1x", 0, 0},
        {".staging--12", 0, 0},
        {".staging-12", 0, 0},
        {"staging-1.0.0-12", 0, 0},
        {".stage-1.0.0-12", 0, 0},
    };
    for (const auto &c : cases) {
        unsigned long pid = 0;
        EXPECT_EQ(staging_name_pid(c.name, &pid), c.ok) << c.name;
        EXPECT_EQ(pid, c.pid) << c.name;
    }
}
