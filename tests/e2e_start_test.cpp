// orv_setup.exe itself: the answers that need no context, byte for byte.
// Its wizard run opens a window: never beside the window tests, whose keys
// it could take.
// resource-lock: display
#include <gtest/gtest.h>

#include <stdlib.h>

#include <windows.h>

#include <set>
#include <string>

#include "run_win.h"
#include "setup_text.h"
#include "test_util.h"

static const std::string kVersionLine = "orv_setup 2.0.0-alpha.027\n";

TEST(Start, VersionAndSelftestAnswerFirst)
{
    struct {
        std::vector<std::string> args;
        int code;
        std::string out;
    } cases[] = {
        {{"--version"}, 0, kVersionLine},
        // The version is answered before any option is checked.
        {{"--bogus", "--version", "--frob=1"}, 0, kVersionLine},
        // With both, only the version line.
        {{"--selftest", "--version"}, 0, kVersionLine},
        {{"--selftest"}, 0, "orv_setup 2.0.0-alpha.027: selftest ok\n"},
    };
    for (auto &c : cases) {
        test_proc r = test_run_setup(c.args);
        std::string name = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(r.exit_code, c.code) << name;
        EXPECT_EQ(r.out, c.out) << name;
        EXPECT_EQ(r.err, "") << name;
    }
}

TEST(Start, HelpPrintsHeaderAndUsageAnywhere)
{
    std::string usage;
    // The usage text is a printf format: "%%" prints as "%".
    for (const char *p = setup_usage_text(); *p; p++) {
        usage += *p;
        if (p[0] == '%' && p[1] == '%')
            p++;
    }
    const std::string expected = "orv_setup 2.0.0-alpha.027 (build 20261026-2)\n\n" + usage;
    const std::vector<std::vector<std::string>> calls = {
        {"--help"}, {"-h"}, {"--bogus", "--help"}, {"--answers", "--help"}};
    for (auto &args : calls) {
        test_proc r = test_run_setup(args);
        EXPECT_EQ(r.exit_code, 0) << args[0];
        EXPECT_EQ(r.out, expected) << args[0];
        EXPECT_EQ(r.err, "") << args[0];
    }
    EXPECT_NE(expected.find("%ProgramData%\\orvantis"), std::string::npos);
    EXPECT_EQ(expected.find("%%"), std::string::npos);
    // Binary streams: no carriage return is added to the line feeds.
    EXPECT_EQ(expected.find('\r'), std::string::npos);
}

TEST(Start, HelpAsValueOfAnOptionStillCounts)
{
    test_proc r = test_run_setup({"--to", "-h"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("orv_setup 2.0.0-alpha.027 (build 20261026-2)\n\nUsage: orv_setup", 0), 0u);
}

TEST(Start, HelpWithValueIsNotHelp)
{
    // "--help=1" is not the bare option; the run goes on to the modes (here
    // the silent one, against a loopback port where nothing listens).
    std::string dir = test_temp_dir("start_help");
    test_proc r = test_run_setup({"--help=1", "--silent", "--url", "https://localhost:1/none",
                                  "--root", dir + "\\root", "--install-dir", dir + "\\install",
                                  "--state-dir", dir + "\\state"});
    EXPECT_EQ(r.out.find("Usage:"), std::string::npos);
    EXPECT_NE(r.exit_code, 0);
}

TEST(Start, WithoutSilentTheWizardRuns)
{
    // The wizard in its test mode against a loopback port where nothing
    // listens: connecting fails and the window closes with 1. With a display
    // the window must have come up (the test mode logs its first page);
    // without one it cannot, and the run ends with 1 all the same. Nothing
    // goes to standard output.
    std::string dir = test_temp_dir("start_wizard");
    SetEnvironmentVariableA("ORV_SETUP_GUI_TEST", "");
    test_proc r = test_run_setup({"--url", "https://localhost:1/none", "--root", dir + "\\root",
                                  "--install-dir", dir + "\\install", "--state-dir",
                                  dir + "\\state"},
                                 60000);
    SetEnvironmentVariableA("ORV_SETUP_GUI_TEST", nullptr);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find("Setup-Fenster"), std::string::npos) << r.err;
    const char *display = getenv("DISPLAY");
    if (display && *display) {
        EXPECT_NE(r.err.find("wizard page 0"), std::string::npos)
            << "no window opened on DISPLAY=" << display << ":\n" << r.err;
    }
}

TEST(Start, IconGroupOneHoldsEverySize)
{
    // The window takes its small icon at each scaled size from group 1.
    HMODULE exe = LoadLibraryExA(test_setup_exe().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(exe, nullptr) << GetLastError();
    HRSRC group = FindResourceA(exe, MAKEINTRESOURCEA(1), (LPCSTR)RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    const BYTE *dir = (const BYTE *)LockResource(LoadResource(exe, group));
    ASSERT_NE(dir, nullptr);
    // The group's header (reserved, type 1, count), then 14 bytes per image:
    // width, height (0 for 256), colours, reserved, planes, bits, bytes, id.
    ASSERT_GE(SizeofResource(exe, group), 6u);
    EXPECT_EQ(dir[2] | dir[3] << 8, 1);
    int count = dir[4] | dir[5] << 8;
    ASSERT_EQ(SizeofResource(exe, group), 6u + 14u * count);
    std::set<int> sizes;
    for (int i = 0; i < count; i++) {
        const BYTE *e = dir + 6 + 14 * i;
        int w = e[0] ? e[0] : 256, h = e[1] ? e[1] : 256;
        EXPECT_EQ(w, h);
        EXPECT_EQ(e[6] | e[7] << 8, 32) << w << " pixels: not 32 bits with alpha";
        sizes.insert(w);
        DWORD bytes = e[8] | e[9] << 8 | e[10] << 16 | (DWORD)e[11] << 24;
        HRSRC image = FindResourceA(exe, MAKEINTRESOURCEA(e[12] | e[13] << 8), (LPCSTR)RT_ICON);
        ASSERT_NE(image, nullptr) << w;
        EXPECT_EQ(SizeofResource(exe, image), bytes) << w;
    }
    EXPECT_EQ(sizes, (std::set<int>{16, 20, 24, 32, 40, 48, 64, 256}));
    for (int s : {16, 20, 24, 32, 40, 48, 64}) {
        HICON icon = (HICON)LoadImageW(exe, MAKEINTRESOURCEW(1), IMAGE_ICON, s, s, 0);
        ASSERT_NE(icon, nullptr) << s;
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP bm = {};
        GetObjectW(info.hbmColor, sizeof bm, &bm);
        EXPECT_EQ(bm.bmWidth, s);
        EXPECT_EQ(bm.bmHeight, s);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
    FreeLibrary(exe);
}
