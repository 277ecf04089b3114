// The Windows registration of an installation: system PATH, uninstall key,
// Start-menu links, and their removal; the purge of the data directory.
#include "registration.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <stdlib.h>
#include <string.h>

#include "fs.h"
#include "registration_win.h"
#include "sched_setup.h"
#include "setup_report.h"
#include "setup_win.h"
#include "task.h"

registration_sys registration_calls = {REGISTRATION_ENVIRONMENT_KEY, SendMessageTimeoutA};

// Formats into buf and tells whether all of it fit: a cut path would name
// another file or folder.
#define PATH_FITS(buf, ...) fits(win_snprintf(buf, sizeof buf, __VA_ARGS__), sizeof buf)
static bool fits(int n, size_t size) { return n >= 0 && (size_t)n < size; }

// The Start-menu folder "orvantis" for all users into buf (600 bytes);
// false when the path does not fit.
static bool menu_folder(char (&buf)[REGISTRATION_MENU])
{
    // An empty value is taken as unset, as for the data directory: it would
    // put the folder at the root of the current drive.
    const char *base = getenv("ProgramData");
    return PATH_FITS(buf, "%s\\Microsoft\\Windows\\Start Menu\\Programs\\orvantis",
                     base && base[0] ? base : "C:\\ProgramData");
}

void win_path_edit(const char *dir, int add)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, registration_calls.environment_key, 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    char old_text[REGISTRATION_PATH_VALUE], new_text[REGISTRATION_PATH_VALUE];
    DWORD type = REG_EXPAND_SZ;
    DWORD size = REGISTRATION_PATH_VALUE - 1;
    LONG rc = RegQueryValueExA(key, "Path", nullptr, &type, (BYTE *)old_text, &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
        old_text[0] = '\0';
        type = REG_EXPAND_SZ;
    } else if (rc != ERROR_SUCCESS) {
        // Too long to read whole, or not to be read at all: writing back what
        // was read would lose the system's entries.
        RegCloseKey(key);
        return;
    } else {
        old_text[size] = '\0';
    }
    if (registration_path_edit(old_text, dir, add, new_text, sizeof new_text) != 1) {
        RegCloseKey(key);
        return;
    }
    DWORD new_type = type == REG_SZ ? REG_SZ : REG_EXPAND_SZ;
    RegSetValueExA(key, "Path", 0, new_type, (const BYTE *)new_text, (DWORD)strlen(new_text) + 1);
    RegCloseKey(key);
    // Explorer and other programs read the environment again on this message.
    registration_calls.send_message_timeout(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                                            (LPARAM) "Environment", SMTO_ABORTIFHUNG, 5000,
                                            nullptr);
}

// text in the ANSI code page as UTF-16 into out (260 units); false when it
// cannot be converted or does not fit.
static bool to_units(const char *text, wchar_t (&out)[REGISTRATION_LINK_UNITS])
{
    return MultiByteToWideChar(CP_ACP, 0, text ? text : "", -1, out, REGISTRATION_LINK_UNITS) > 0;
}

void win_shortcut(const char *target, const char *arguments, const wchar_t *description,
                  const char *link_path)
{
    wchar_t target_w[REGISTRATION_LINK_UNITS], args_w[REGISTRATION_LINK_UNITS],
        link_w[REGISTRATION_LINK_UNITS];
    // A link to a cut path would open something else; none is better.
    if (!to_units(target, target_w) || !to_units(arguments, args_w) || !to_units(link_path, link_w))
        return;
    HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW *link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   (void **)&link))) {
        link->SetPath(target_w);
        link->SetArguments(args_w);
        link->SetDescription(description);
        IPersistFile *file = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file))) {
            file->Save(link_w, TRUE);
            file->Release();
        }
        link->Release();
    }
    if (init == S_OK || init == S_FALSE)
        CoUninitialize();
}

// Writes one REG_SZ value with its NUL; a failure leaves that value out.
static void set_text(HKEY key, const char *name, const char *text)
{
    RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)text, (DWORD)strlen(text) + 1);
}

// The uninstall entry for the setup program at setup.
static void uninstall_entry(setup_context *ctx, const char *setup)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, REGISTRATION_UNINSTALL_KEY, 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    char command[REGISTRATION_COMMAND];
    set_text(key, "DisplayName", "orvantis");
    set_text(key, "DisplayVersion", ctx->installed_version);
    set_text(key, "Publisher", "orvantis");
    set_text(key, "InstallLocation", ctx->updater_config.install_dir);
    set_text(key, "DisplayIcon", setup);
    win_snprintf(command, sizeof command, "\"%s\" --uninstall", setup);
    set_text(key, "UninstallString", command);
    win_snprintf(command, sizeof command, "\"%s\" --modify", setup);
    set_text(key, "ModifyPath", command);
    DWORD one = 1;
    RegSetValueExA(key, "NoRepair", 0, REG_DWORD, (const BYTE *)&one, sizeof one);
    RegCloseKey(key);
}

// The link of a console: written when the console is installed (then the
// report names it), else an old link of that name deleted.
static void console_link(setup_context *ctx, const char *folder, const char *program,
                         const char *link_name, const wchar_t *description, const char *report)
{
    char exe[REGISTRATION_PROGRAM], link[REGISTRATION_PROGRAM];
    if (!PATH_FITS(link, "%s\\%s", folder, link_name))
        return;
    if (setup_program_path(ctx, program, exe, sizeof exe)) {
        win_shortcut(exe, "", description, link);
        setup_report(ctx, "%s", report);
    } else {
        DeleteFileA(link);
    }
}

int win_register_install(setup_context *ctx, char *err, size_t errlen)
{
    if (ctx->root[0])
        return 0;
    char setup[REGISTRATION_PROGRAM], bin[REGISTRATION_PROGRAM];
    if (!setup_program_path(ctx, "orv_setup", setup, sizeof setup)) {
        win_error(err, errlen, "orv_setup gehört nicht zu dieser Installation, deshalb gibt es "
                               "keinen Eintrag unter „Installierte Apps“");
        return -1;
    }
    if (PATH_FITS(bin, "%s\\bin", ctx->updater_config.install_dir))
        win_path_edit(bin, 1);
    uninstall_entry(ctx, setup);

    char folder[REGISTRATION_MENU], link[REGISTRATION_PROGRAM];
    if (!menu_folder(folder))
        return 0;
    CreateDirectoryA(folder, nullptr);
    if (PATH_FITS(link, "%s\\%s", folder, "orvantis Setup.lnk"))
        win_shortcut(setup, "--modify", L"orvantis installieren, ändern, reparieren oder entfernen",
                     link);
    console_link(ctx, folder, "orv_console", "orvantis Verwaltungskonsole.lnk",
                 L"Sicherungsjobs auf diesem und anderen Rechnern verwalten",
                 "Die Verwaltungskonsole steht im Startmenü unter „orvantis“");
    console_link(ctx, folder, "orv_target_console", "orvantis Target-Konsole.lnk",
                 L"Backup-Server verwalten und beobachten",
                 "Die Target-Konsole steht im Startmenü unter „orvantis“");
    return 0;
}

// Deletes the management console's hand-over files and then their folder.
static void handover_files(setup_context *ctx)
{
    char data[REGISTRATION_MENU], pattern[REGISTRATION_PROGRAM], dir[REGISTRATION_PROGRAM];
    setup_data_dir(ctx, data, sizeof data);
    if (!PATH_FITS(pattern, "%s\\konsole\\*.cfg", data) || !PATH_FITS(dir, "%s\\konsole", data))
        return;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(pattern, &found);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        char file[REGISTRATION_HANDOVER];
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            PATH_FITS(file, "%s\\konsole\\%s", data, found.cFileName))
            DeleteFileA(file);
    } while (FindNextFileA(h, &found));
    FindClose(h);
    // Only an empty folder goes: other files in it stay with it.
    RemoveDirectoryA(dir);
}

int win_unregister_install(setup_context *ctx)
{
    if (ctx->root[0])
        return 0;
    char err[300];
    // A task that is not there cannot be deleted; when the question fails, try.
    if (task_query_updater() != 0)
        task_delete_updater(err, sizeof err);
    win_resume_task_delete();
    win_sched_service_remove(ctx);
    handover_files(ctx);
    char bin[REGISTRATION_PROGRAM];
    if (PATH_FITS(bin, "%s\\bin", ctx->updater_config.install_dir))
        win_path_edit(bin, 0);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, REGISTRATION_UNINSTALL_KEY);

    char folder[REGISTRATION_MENU], link[REGISTRATION_PROGRAM];
    if (menu_folder(folder)) {
        static const char *const names[] = {"orvantis Verwaltungskonsole.lnk",
                                            "orvantis Target-Konsole.lnk", "orvantis Setup.lnk"};
        for (const char *name : names)
            if (PATH_FITS(link, "%s\\%s", folder, name))
                DeleteFileA(link);
        RemoveDirectoryA(folder);
    }
    return 0;
}

void setup_purge(setup_context *ctx)
{
    DeleteFileA(ctx->config_path);
    char data[REGISTRATION_MENU];
    setup_data_dir(ctx, data, sizeof data);
    if (!registration_purge_allowed(data)) {
        setup_report(ctx, "WARNUNG: %s wurde nicht entfernt (unerwarteter Pfad)", data);
        return;
    }
    if (fs_remove_path(data) == 0)
        setup_report(ctx, "%s wurde entfernt (Einstellungen, Schlüssel, Zertifikate, Protokolle)",
                     data);
    else
        setup_report(ctx, "WARNUNG: %s konnte nicht vollständig entfernt werden (Dateien in "
                          "Benutzung?)",
                     data);
}
