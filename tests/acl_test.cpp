// The rules over access lists, and the protected files' text helpers.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "acl.h"

namespace {

const uint32_t kFullAccess = 0x1F01FF;  // FILE_ALL_ACCESS
const unsigned kInherit = ACL_OBJECT_INHERIT | ACL_CONTAINER_INHERIT;

acl_entry allow(int who, unsigned flags, uint32_t mask) { return {1, ACL_ACE_ALLOWED, flags, mask, who}; }
acl_entry deny(int who, uint32_t mask) { return {1, 1, 0, mask, who}; }
const acl_entry kUnreadable = {0, 0, 0, 0, 0};

}  // namespace

TEST(Acl, DirectoryRule)
{
    const int SY = ACL_WHO_SYSTEM, BA = ACL_WHO_ADMINS, BU = ACL_WHO_OTHER;
    struct {
        const char *name;
        int present, is_protected;
        std::vector<acl_entry> entries;
        int expected;
    } cases[] = {
        {"as protect_dir leaves it", 1, 1, {allow(SY, kInherit, kFullAccess), allow(BA, kInherit, kFullAccess)}, 1},
        {"inherited from the parent", 1, 0, {allow(SY, kInherit, kFullAccess), allow(BA, kInherit, kFullAccess)}, 0},
        {"null list", 0, 1, {}, 0},
        {"empty protected list", 1, 1, {}, 0},
        {"admins without container-inherit", 1, 1,
         {allow(SY, kInherit, kFullAccess), allow(BA, ACL_OBJECT_INHERIT, kFullAccess)}, 0},
        {"system without object-inherit", 1, 1,
         {allow(SY, ACL_CONTAINER_INHERIT, kFullAccess), allow(BA, kInherit, kFullAccess)}, 0},
        {"no admins entry", 1, 1, {allow(SY, kInherit, kFullAccess)}, 0},
        {"users allowed too", 1, 1,
         {allow(SY, kInherit, kFullAccess), allow(BA, kInherit, kFullAccess), allow(BU, 0, 0x1200A9)}, 0},
        {"users allowed nothing at all", 1, 1,
         {allow(SY, kInherit, kFullAccess), allow(BA, kInherit, kFullAccess), allow(BU, 0, 0)}, 0},
        {"users denied", 1, 1,
         {allow(SY, kInherit, kFullAccess), allow(BA, kInherit, kFullAccess), deny(BU, kFullAccess)}, 1},
        {"one inheriting admins entry among several", 1, 1,
         {allow(SY, kInherit, kFullAccess), allow(BA, 0, kFullAccess), allow(BA, kInherit, 0x1200A9)}, 1},
        {"masks are not looked at", 1, 1, {allow(SY, kInherit, 0), allow(BA, kInherit, 0x80)}, 1},
        {"inherit-only as well", 1, 1,
         {allow(SY, kInherit | 0x8, kFullAccess), allow(BA, kInherit | 0x8, kFullAccess)}, 1},
        {"an entry that cannot be read", 1, 1,
         {allow(SY, kInherit, kFullAccess), kUnreadable, allow(BA, kInherit, kFullAccess)}, 0},
    };
    for (auto &c : cases) {
        acl_view v = {c.present, c.is_protected, c.entries.data(), c.entries.size()};
        EXPECT_EQ(acl_dir_is_protected(&v), c.expected) << c.name;
    }
    EXPECT_EQ(acl_dir_is_protected(nullptr), 0);
}

TEST(Acl, OpenFileRule)
{
    const int SY = ACL_WHO_SYSTEM, BA = ACL_WHO_ADMINS, BU = ACL_WHO_OTHER;
    const acl_entry own[] = {allow(SY, 0, kFullAccess), allow(BA, 0, kFullAccess)};
    struct {
        const char *name;
        int present;
        uint32_t users_mask;  // an extra allowed entry for Users; 0: none
        int expected;
    } cases[] = {
        {"only system and admins", 1, 0, 1},
        {"null list", 0, 0, 0},
        {"users read attributes", 1, 0x100080, 1},
        {"users read the access list", 1, 0x20000, 1},
        {"users execute", 1, 0x20, 1},
        {"users generic execute", 1, 0x20000000, 1},
        {"users read data", 1, 0x1, 0},
        {"users write data", 1, 0x2, 0},
        {"users append data", 1, 0x4, 0},
        {"users generic read", 1, 0x80000000, 0},
        {"users generic write", 1, 0x40000000, 0},
        {"users generic all", 1, 0x10000000, 0},
        {"users file read", 1, 0x120089, 0},
    };
    for (auto &c : cases) {
        std::vector<acl_entry> entries(own, own + 2);
        if (c.users_mask)
            entries.push_back(allow(BU, 0, c.users_mask));
        acl_view v = {c.present, 0, entries.data(), entries.size()};
        EXPECT_EQ(acl_fd_is_private(&v), c.expected) << c.name;
    }

    std::vector<acl_entry> denied = {allow(SY, 0, kFullAccess), deny(BU, kFullAccess)};
    acl_view v = {1, 0, denied.data(), denied.size()};
    EXPECT_EQ(acl_fd_is_private(&v), 1) << "a deny entry takes rights away";
    std::vector<acl_entry> unreadable = {allow(SY, 0, kFullAccess), kUnreadable};
    v = {1, 1, unreadable.data(), unreadable.size()};
    EXPECT_EQ(acl_fd_is_private(&v), 0) << "an entry that cannot be read";
    v = {1, 0, nullptr, 0};
    EXPECT_EQ(acl_fd_is_private(&v), 1) << "an empty list lets nobody in";
    EXPECT_EQ(acl_fd_is_private(nullptr), 0);
}

TEST(Acl, FormatFollowsSnprintf)
{
    struct {
        size_t size;
        int expected;
        const char *text;
    } cases[] = {
        {64, 11, "cannot a.b "},
        {11, 11, "cannot a.b"},
        {8, 11, "cannot "},
        {1, 11, ""},
    };
    for (auto &c : cases) {
        char buf[64];
        memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(acl_format(buf, c.size, "cannot %s", "a.b "), c.expected) << c.size;
        EXPECT_STREQ(buf, c.text) << c.size;
    }
    char untouched[4] = "abc";
    EXPECT_EQ(acl_format(untouched, 0, "%d", 12345), 5);
    EXPECT_STREQ(untouched, "abc");
    EXPECT_EQ(acl_format(nullptr, 10, "%d", 12345), 5);
}

TEST(Acl, TemplatesAndNames)
{
    struct {
        const char *tmpl;
        int expected;
    } cases[] = {
        {"XXXXXX", 1},     {"C:\\t\\orv-XXXXXX", 1}, {"XXXXX", 0}, {"abcXXXXX", 0},
        {"XXXXXXa", 0},    {"", 0},                {"xxxxxx", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(acl_template_ok(c.tmpl), c.expected) << c.tmpl;
    EXPECT_EQ(acl_template_ok(nullptr), 0);

    const unsigned char random[6] = {0, 35, 36, 255, 71, 72};
    char name[7] = "......";
    acl_name_from_random(name, random);
    EXPECT_STREQ(name, "a9ad9a");
}
