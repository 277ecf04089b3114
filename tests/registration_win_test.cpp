// The Windows registration against Wine's registry and shell: the uninstall
// key, the Start-menu links (read back through the shell link object), the
// PATH entry in a test key of its own (and once in the real system PATH,
// put back afterwards), the removal with the tasks, the scheduler service
// and the hand-over files, and the purge. Fake schtasks.exe and netsh.exe lie
// beside this test program, where Windows looks first for a bare name.
// own directory
// resource-lock: orvantis-sched
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "registration.h"
#include "registration_win.h"
#include "run_win.h"
#include "seam_guard.h"
#include "setup_options.h"
#include "test_util.h"

namespace {

const char kTestEnvKey[] = "SOFTWARE\\orvantis-test\\Environment";

std::string own_dir()
{
    char p[MAX_PATH];
    GetModuleFileNameA(nullptr, p, sizeof p);
    std::string s = p;
    return s.substr(0, s.find_last_of('\\'));
}

bool exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> runs(const std::string &log)
{
    std::vector<std::string> out;
    std::string all = test_read_file(log), cur;
    size_t at = 0, nl;
    while ((nl = all.find('\n', at)) != std::string::npos) {
        std::string line = all.substr(at, nl - at);
        at = nl + 1;
        if (line.empty()) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += (cur.empty() ? "" : "|") + line;
        }
    }
    return out;
}

// A registry value as stored: its type and its bytes; type 0 when missing.
struct reg_value {
    DWORD type = 0;
    std::string bytes;
    bool operator==(const reg_value &o) const { return type == o.type && bytes == o.bytes; }
};

reg_value read_value(const char *key, const char *name)
{
    reg_value v;
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS)
        return v;
    DWORD size = 0;
    if (RegQueryValueExA(k, name, nullptr, &v.type, nullptr, &size) == ERROR_SUCCESS) {
        v.bytes.resize(size);
        RegQueryValueExA(k, name, nullptr, &v.type, (BYTE *)&v.bytes[0], &size);
        v.bytes.resize(size);
    } else {
        v.type = 0;
    }
    RegCloseKey(k);
    return v;
}

void write_value(const char *key, const char *name, const reg_value &v)
{
    HKEY k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k,
                              nullptr),
              ERROR_SUCCESS);
    if (v.type == 0)
        RegDeleteValueA(k, name);
    else
        RegSetValueExA(k, name, 0, v.type, (const BYTE *)v.bytes.data(), (DWORD)v.bytes.size());
    RegCloseKey(k);
}

// A text value as the registry holds it: the text and its NUL.
reg_value text(DWORD type, const std::string &s) { return {type, s + std::string(1, '\0')}; }

bool key_exists(const char *key)
{
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS)
        return false;
    RegCloseKey(k);
    return true;
}

// What a shell link file points at, read through the shell link object.
struct link_facts {
    bool loaded = false;
    std::wstring path, arguments, description;
};

link_facts read_link(const std::string &file)
{
    link_facts f;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW *link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   (void **)&link))) {
        IPersistFile *pf = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&pf))) {
            wchar_t wfile[MAX_PATH];
            MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wfile, MAX_PATH);
            if (SUCCEEDED(pf->Load(wfile, STGM_READ))) {
                f.loaded = true;
                wchar_t buf[1024];
                if (SUCCEEDED(link->GetPath(buf, 1024, nullptr, SLGP_RAWPATH)))
                    f.path = buf;
                if (SUCCEEDED(link->GetArguments(buf, 1024)))
                    f.arguments = buf;
                if (SUCCEEDED(link->GetDescription(buf, 1024)))
                    f.description = buf;
            }
            pf->Release();
        }
        link->Release();
    }
    CoUninitialize();
    return f;
}

std::wstring wide(const std::string &s)
{
    wchar_t buf[1024];
    MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, buf, 1024);
    return buf;
}

int g_broadcasts;
std::string g_broadcast_text;
LRESULT WINAPI count_broadcast(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT flags, UINT timeout,
                               PDWORD_PTR)
{
    EXPECT_EQ(hwnd, HWND_BROADCAST);
    EXPECT_EQ(msg, (UINT)WM_SETTINGCHANGE);
    EXPECT_EQ(wp, 0u);
    EXPECT_EQ(flags, (UINT)SMTO_ABORTIFHUNG);
    EXPECT_EQ(timeout, 5000u);
    g_broadcast_text = (const char *)lp;
    g_broadcasts++;
    return 1;
}

// An installation in a folder with blanks, a ProgramData of the test's own
// with its Start-menu folders, the PATH in a test key, and the fakes.
struct Registration : ::testing::Test {
    std::unique_ptr<setup_context> ctx{new setup_context};
    seam_guard<registration_sys> guard{registration_calls};
    std::string top, install, bin, program_data, programs, menu, data_dir, schtasks, schtasks_log,
        netsh, netsh_log;
    std::string saved_program_data;
    bool had_program_data = false;
    char err[600] = "";

    void SetUp() override
    {
        setup_options_base_defaults(ctx.get());
        top = test_temp_dir("registration");
        install = top + "\\Program Files\\orvantis";
        bin = install + "\\bin";
        for (const std::string &d : {top + "\\Program Files", install, bin})
            ASSERT_TRUE(CreateDirectoryA(d.c_str(), nullptr)) << d;
        snprintf(ctx->updater_config.install_dir, sizeof ctx->updater_config.install_dir, "%s",
                 install.c_str());
        snprintf(ctx->installed_version, sizeof ctx->installed_version, "2.1.0-beta.3");
        snprintf(ctx->config_path, sizeof ctx->config_path, "%s\\updater.conf", top.c_str());

        const char *pd = getenv("ProgramData");
        had_program_data = pd != nullptr;
        saved_program_data = pd ? pd : "";
        program_data = top + "\\ProgramData";
        _putenv_s("ProgramData", program_data.c_str());
        programs = program_data + "\\Microsoft\\Windows\\Start Menu\\Programs";
        std::string p = program_data;
        ASSERT_TRUE(CreateDirectoryA(p.c_str(), nullptr));
        for (const char *part : {"\\Microsoft", "\\Windows", "\\Start Menu", "\\Programs"}) {
            p += part;
            ASSERT_TRUE(CreateDirectoryA(p.c_str(), nullptr)) << p;
        }
        menu = programs + "\\orvantis";
        data_dir = program_data + "\\orvantis";

        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\orvantis-test");
        HKEY k;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestEnvKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(k);
        registration_calls.environment_key = kTestEnvKey;
        registration_calls.send_message_timeout = count_broadcast;
        g_broadcasts = 0;
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, REGISTRATION_UNINSTALL_KEY);

        schtasks = own_dir() + "\\schtasks.exe";
        schtasks_log = top + "\\schtasks.log";
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), schtasks.c_str(), FALSE));
        for (const char *w : {"Query", "Delete"})
            ASSERT_TRUE(test_write_file(schtasks + "." + w, "log:" + schtasks_log + "\n"));
        netsh = own_dir() + "\\netsh.exe";
        netsh_log = top + "\\netsh.log";
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), netsh.c_str(), FALSE));
        ASSERT_TRUE(test_write_file(netsh + ".advfirewall", "log:" + netsh_log + "\n"));
    }
    void TearDown() override
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\orvantis-test");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, REGISTRATION_UNINSTALL_KEY);
        _putenv_s("ProgramData", had_program_data ? saved_program_data.c_str() : "");
    }
    void install_program(const char *name)
    {
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), (bin + "\\" + name + ".exe").c_str(), FALSE));
    }
};

}  // namespace

TEST_F(Registration, TestModeTouchesNothing)
{
    snprintf(ctx->root, sizeof ctx->root, "%s\\root", top.c_str());
    install_program("orv_setup");
    install_program("orv_console");
    write_value(kTestEnvKey, "Path", text(REG_SZ, "A;B"));
    EXPECT_EQ(win_register_install(ctx.get(), err, sizeof err), 0);
    EXPECT_EQ(win_unregister_install(ctx.get()), 0);
    EXPECT_FALSE(key_exists(REGISTRATION_UNINSTALL_KEY));
    EXPECT_FALSE(exists(menu));
    EXPECT_EQ(read_value(kTestEnvKey, "Path"), text(REG_SZ, "A;B"));
    EXPECT_EQ(g_broadcasts, 0);
    EXPECT_TRUE(runs(schtasks_log).empty());
    EXPECT_TRUE(runs(netsh_log).empty());
    EXPECT_STREQ(ctx->report, "");
}

TEST_F(Registration, WithoutItsOwnSetupProgramNothingIsRegistered)
{
    install_program("orv_console");
    write_value(kTestEnvKey, "Path", text(REG_SZ, "A"));
    EXPECT_EQ(win_register_install(ctx.get(), err, sizeof err), -1);
    EXPECT_STREQ(err, "orv_setup gehört nicht zu dieser Installation, deshalb gibt es keinen "
                      "Eintrag unter „Installierte Apps“");
    EXPECT_FALSE(key_exists(REGISTRATION_UNINSTALL_KEY));
    EXPECT_FALSE(exists(menu));
    EXPECT_EQ(read_value(kTestEnvKey, "Path"), text(REG_SZ, "A"));
    EXPECT_STREQ(ctx->report, "");
}

TEST_F(Registration, RegisteredAndRemovedAgain)
{
    install_program("orv_setup");
    install_program("orv_console");
    write_value(kTestEnvKey, "Path", text(REG_SZ, "C:\\Windows;"));
    // Links of an earlier installation whose target console is gone now.
    ASSERT_TRUE(CreateDirectoryA(menu.c_str(), nullptr));
    ASSERT_TRUE(test_write_file(menu + "\\orvantis Target-Konsole.lnk", "old"));

    ASSERT_EQ(win_register_install(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(read_value(kTestEnvKey, "Path"), text(REG_SZ, "C:\\Windows;" + bin));
    EXPECT_EQ(g_broadcasts, 1);
    EXPECT_EQ(g_broadcast_text, "Environment");

    std::string setup = bin + "\\orv_setup.exe";
    struct {
        const char *name;
        reg_value value;
    } values[] = {
        {"DisplayName", text(REG_SZ, "orvantis")},
        {"DisplayVersion", text(REG_SZ, "2.1.0-beta.3")},
        {"Publisher", text(REG_SZ, "orvantis")},
        {"InstallLocation", text(REG_SZ, install)},
        {"DisplayIcon", text(REG_SZ, setup)},
        {"UninstallString", text(REG_SZ, "\"" + setup + "\" --uninstall")},
        {"ModifyPath", text(REG_SZ, "\"" + setup + "\" --modify")},
        {"NoRepair", {REG_DWORD, std::string("\1\0\0\0", 4)}},
    };
    for (auto &v : values)
        EXPECT_EQ(read_value(REGISTRATION_UNINSTALL_KEY, v.name), v.value) << v.name;

    link_facts l = read_link(menu + "\\orvantis Setup.lnk");
    ASSERT_TRUE(l.loaded);
    EXPECT_EQ(l.path, wide(setup));
    EXPECT_EQ(l.arguments, L"--modify");
    EXPECT_EQ(l.description, L"orvantis installieren, ändern, reparieren oder entfernen");
    l = read_link(menu + "\\orvantis Verwaltungskonsole.lnk");
    ASSERT_TRUE(l.loaded);
    EXPECT_EQ(l.path, wide(bin + "\\orv_console.exe"));
    EXPECT_EQ(l.arguments, L"");
    EXPECT_EQ(l.description, L"Sicherungsjobs auf diesem und anderen Rechnern verwalten");
    EXPECT_FALSE(exists(menu + "\\orvantis Target-Konsole.lnk")) << "old link deleted";
    EXPECT_STREQ(ctx->report, "Die Verwaltungskonsole steht im Startmenü unter „orvantis“\n");

    // Registering again finds the PATH entry and does not announce anything.
    ASSERT_EQ(win_register_install(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(read_value(kTestEnvKey, "Path"), text(REG_SZ, "C:\\Windows;" + bin));
    EXPECT_EQ(g_broadcasts, 1);

    // The management console's hand-over files go, and their folder with them.
    std::string konsole = data_dir + "\\konsole";
    ASSERT_TRUE(CreateDirectoryA(data_dir.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(konsole.c_str(), nullptr));
    for (const char *f : {"S-1-5-21-1-1001.cfg", "S-1-5-21-1-1002.cfg"})
        ASSERT_TRUE(test_write_file(konsole + "\\" + f, "x"));

    ASSERT_EQ(win_unregister_install(ctx.get()), 0);
    EXPECT_FALSE(key_exists(REGISTRATION_UNINSTALL_KEY));
    EXPECT_FALSE(exists(menu)) << "links and folder removed";
    EXPECT_TRUE(exists(programs));
    EXPECT_EQ(read_value(kTestEnvKey, "Path"), text(REG_SZ, "C:\\Windows"));
    EXPECT_EQ(g_broadcasts, 2);
    EXPECT_FALSE(exists(konsole));
    EXPECT_TRUE(exists(data_dir));
    EXPECT_EQ(runs(schtasks_log),
              (std::vector<std::string>{"/Query|/TN|orvantis updater",
                                        "/Delete|/TN|orvantis updater|/F",
                                        "/Delete|/TN|orvantis resume|/F"}));
    EXPECT_EQ(runs(netsh_log),
              std::vector<std::string>{
                  "advfirewall|firewall|delete|rule|name=orvantis scheduler API (orv_sched_net)"});
}

TEST_F(Registration, RemovalLeavesWhatIsNotItsOwn)
{
    // The daily task is absent: it is not deleted. A folder with other files
    // in it stays, with them.
    ASSERT_TRUE(test_write_file(schtasks + ".Query", "log:" + schtasks_log + "\nexit:1\n"));
    std::string konsole = data_dir + "\\konsole";
    ASSERT_TRUE(CreateDirectoryA(data_dir.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(konsole.c_str(), nullptr));
    ASSERT_TRUE(test_write_file(konsole + "\\anna.cfg", "x"));
    ASSERT_TRUE(test_write_file(konsole + "\\readme.txt", "x"));
    ASSERT_TRUE(CreateDirectoryA(menu.c_str(), nullptr));
    ASSERT_TRUE(test_write_file(menu + "\\orvantis Setup.lnk", "x"));
    ASSERT_TRUE(test_write_file(menu + "\\Handbuch.url", "x"));

    ASSERT_EQ(win_unregister_install(ctx.get()), 0);
    EXPECT_EQ(runs(schtasks_log), (std::vector<std::string>{"/Query|/TN|orvantis updater",
                                                            "/Delete|/TN|orvantis resume|/F"}));
    EXPECT_FALSE(exists(konsole + "\\anna.cfg"));
    EXPECT_TRUE(exists(konsole + "\\readme.txt"));
    EXPECT_FALSE(exists(menu + "\\orvantis Setup.lnk"));
    EXPECT_TRUE(exists(menu + "\\Handbuch.url"));
}

TEST_F(Registration, PathValues)
{
    const std::string x = "C:\\X\\bin";
    const std::string huge(9000, 'h');
    const std::string nearly_full(8190 - x.size(), 'n'); // 8191 would not fit with ";"
    struct {
        const char *name;
        reg_value before;
        int add;
        reg_value after;
        int broadcasts;
    } cases[] = {
        {"missing value", reg_value(), 1, text(REG_EXPAND_SZ, x), 1},
        {"empty REG_SZ value", text(REG_SZ, ""), 1, text(REG_SZ, x), 1},
        {"already there", text(REG_EXPAND_SZ, "%SystemRoot%;c:\\x\\BIN"), 1,
         text(REG_EXPAND_SZ, "%SystemRoot%;c:\\x\\BIN"), 0},
        {"removed, REG_SZ kept", text(REG_SZ, "A;;C:\\X\\bin;B;c:\\x\\bin"), 0, text(REG_SZ, "A;B"), 1},
        {"removed, REG_EXPAND_SZ kept", text(REG_EXPAND_SZ, "%SystemRoot%;C:\\X\\bin"), 0,
         text(REG_EXPAND_SZ, "%SystemRoot%"), 1},
        {"not there: still rewritten", text(REG_SZ, "A;;B;"), 0, text(REG_SZ, "A;B"), 1},
        {"another type becomes REG_EXPAND_SZ", text(REG_MULTI_SZ, "A"), 1,
         text(REG_EXPAND_SZ, "A;" + x), 1},
        {"too long to read: untouched", text(REG_EXPAND_SZ, huge), 1, text(REG_EXPAND_SZ, huge), 0},
        {"too long to remove from: untouched", text(REG_EXPAND_SZ, huge + ";" + x), 0,
         text(REG_EXPAND_SZ, huge + ";" + x), 0},
        {"8191 bytes after adding", text(REG_SZ, nearly_full), 1,
         text(REG_SZ, nearly_full + ";" + x), 1},
        {"no room to add: untouched", text(REG_SZ, nearly_full + "n"), 1,
         text(REG_SZ, nearly_full + "n"), 0},
    };
    for (auto &c : cases) {
        write_value(kTestEnvKey, "Path", c.before);
        g_broadcasts = 0;
        win_path_edit(x.c_str(), c.add);
        reg_value got = read_value(kTestEnvKey, "Path");
        EXPECT_EQ(got.type, c.after.type) << c.name;
        EXPECT_EQ(got.bytes.size(), c.after.bytes.size()) << c.name;
        EXPECT_TRUE(got.bytes == c.after.bytes) << c.name;
        EXPECT_EQ(g_broadcasts, c.broadcasts) << c.name;
    }
    // Without the key nothing is written and nothing announced.
    registration_calls.environment_key = "SOFTWARE\\orvantis-test\\missing";
    g_broadcasts = 0;
    win_path_edit(x.c_str(), 1);
    EXPECT_FALSE(key_exists("SOFTWARE\\orvantis-test\\missing"));
    EXPECT_EQ(g_broadcasts, 0);
}

TEST_F(Registration, RealSystemPath)
{
    registration_calls = guard.saved; // the machine's own key and broadcast
    const char *key = REGISTRATION_ENVIRONMENT_KEY;
    reg_value original = read_value(key, "Path");
    ASSERT_NE(original.type, 0u);
    std::string dir = "C:\\orvantis path test " + std::to_string(GetCurrentProcessId()) + "\\bin";
    std::string before(original.bytes.c_str());

    win_path_edit(dir.c_str(), 1);
    reg_value added = read_value(key, "Path");
    EXPECT_EQ(added.type, original.type);
    std::string sep = before.empty() || before.back() == ';' ? "" : ";";
    EXPECT_EQ(std::string(added.bytes.c_str()), before + sep + dir);

    win_path_edit(dir.c_str(), 0);
    reg_value removed = read_value(key, "Path");
    EXPECT_EQ(std::string(removed.bytes.c_str()).find(dir), std::string::npos);
    if (before.find(";;") == std::string::npos && (before.empty() || before.back() != ';')) {
        EXPECT_TRUE(removed == original) << "the PATH is as it was";
    }
    write_value(key, "Path", original);
}

TEST_F(Registration, Purge)
{
    // Test mode: below the root, whatever ProgramData says.
    std::string root = top + "\\root";
    snprintf(ctx->root, sizeof ctx->root, "%s", root.c_str());
    std::string data = root + "\\ProgramData\\orvantis";
    ASSERT_EQ(SHCreateDirectoryExA(nullptr, (data + "\\logs").c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(test_write_file(data + "\\logs\\a.log", "x"));
    ASSERT_TRUE(test_write_file(data + "\\orv_sched.cfg", "x"));
    ASSERT_TRUE(test_write_file(ctx->config_path, "x"));

    // A file in use keeps the directory.
    HANDLE busy = CreateFileA((data + "\\logs\\a.log").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    setup_purge(ctx.get());
    CloseHandle(busy);
    EXPECT_FALSE(exists(ctx->config_path));
    EXPECT_EQ(std::string(ctx->report),
              "WARNUNG: " + data + " konnte nicht vollständig entfernt werden (Dateien in Benutzung?)\n");

    ctx->report[0] = '\0';
    setup_purge(ctx.get());
    EXPECT_FALSE(exists(data));
    EXPECT_TRUE(exists(root + "\\ProgramData"));
    EXPECT_EQ(std::string(ctx->report),
              data + " wurde entfernt (Einstellungen, Schlüssel, Zertifikate, Protokolle)\n");

    // A ProgramData so long that the path is cut: nothing is removed.
    ctx->root[0] = '\0';
    ctx->report[0] = '\0';
    std::string long_pd = top + "\\" + std::string(600, 'p');
    _putenv_s("ProgramData", long_pd.c_str());
    ASSERT_TRUE(test_write_file(ctx->config_path, "x"));
    setup_purge(ctx.get());
    EXPECT_FALSE(exists(ctx->config_path)) << "updater.conf goes in any case";
    std::string cut = long_pd.substr(0, 599);
    EXPECT_EQ(std::string(ctx->report), "WARNUNG: " + cut + " wurde nicht entfernt (unerwarteter Pfad)\n");
    EXPECT_TRUE(exists(top)) << "nothing above it touched";
}
