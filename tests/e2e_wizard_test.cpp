// gui
// resource-lock: orvantis-sched
// resource-lock: product-programs
// orv_setup.exe as a wizard, watched from outside: in the test mode
// (ORV_SETUP_GUI_TEST) it walks itself through its pages with their starting
// values against a signed site on the tests' update server, installs what the
// silent mode installs, modifies, repairs and removes it; its failures end it
// with 1 instead of leaving a window open; and a user who cancels while the
// update server does not answer gets exit code 1 at once.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "codec.h"
#include "engine_site.h"
#include "run_win.h"
#include "test_util.h"
#include "update_server.h"
#include "wizard_watch.h"

namespace {

// The limit of every run: far beyond what one takes, so only a hang reaches it.
const unsigned kLimitMs = 180000;

// The catalog of these tests: the client set complete, so that every page
// of the client's walk comes up.
void publish_client_site(engine_site &site)
{
    site.more_components = {{"sched", "Job-Planer"}, {"console", "Verwaltungskonsole"}};
    site.releases = {engine_site::standard_release(
        "1.0.0", {"core", "agent", "restore", "sched", "console"})};
    site.publish();
}

// The options of every run: the site's server, pin and key, a test root and
// the site's installation and state directories.
std::vector<std::string> places(const engine_site &site, const std::string &root)
{
    char pub[64] = "";
    b64_encode(site.cfg.public_keys[0], 32, pub, sizeof pub);
    return {"--url",         site.cfg.url,          "--ca-file",   srv_cert("srv.pem"),
            "--public-key",  pub,                   "--root",      root,
            "--install-dir", site.cfg.install_dir,  "--state-dir", site.cfg.state_dir};
}

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string pages_text(const std::vector<int> &pages)
{
    std::string s;
    for (int p : pages)
        s += (s.empty() ? "" : ",") + std::to_string(p);
    return s;
}

// What a run printed and showed, for failure messages.
std::string told(const wizard_watch &w)
{
    return "pages " + pages_text(w.pages) +
           (w.proc.timed_out ? ", ended at the limit" : "") + "\nstdout: " + w.proc.out +
           "\nstderr: " + w.proc.err;
}

bool has_display()
{
    const char *d = getenv("DISPLAY");
    return d && *d;
}

// Every file below dir (relative name -> bytes), directories as "name/".
void tree(const std::string &dir, const std::string &rel,
          std::map<std::string, std::string> *out)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string n = fd.cFileName;
        if (n == "." || n == "..")
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*out)[rel + n + "/"] = "";
            tree(dir + "\\" + n, rel + n + "/", out);
        } else {
            (*out)[rel + n] = test_read_file(dir + "\\" + n);
        }
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

// What an installation left: its programs and versions, its state and the
// settings below the test root, with the root's own path replaced by "ROOT"
// so that two installations in two roots compare.
std::map<std::string, std::string> left_behind(const std::string &root)
{
    std::map<std::string, std::string> files;
    tree(root, "", &files);
    for (auto &f : files) {
        std::string &b = f.second;
        for (size_t at; (at = b.find(root)) != std::string::npos;)
            b.replace(at, root.size(), "ROOT");
    }
    return files;
}

// A user at the keyboard of a wizard that runs as an administrator meets it
// (no test mode): keys go through the X server, and what the window shows
// is looked at from outside. Each look waits a little, as a person would.
struct keyboard_user {
    void *main;
    unsigned long pid;

    keyboard_user(void *m, unsigned long p) : main(m), pid(p) {}
    // A walk that stopped half-way leaves the window open: it is closed
    // here, or the run would wait for its time limit.
    ~keyboard_user() { test_process_ended(pid, 10000); }

    bool press(const std::string &keys) { return wizard_press_keys(main, keys); }
    void *focus() { return wizard_focus_of(main); }
    std::string focus_text() { return wizard_text_of(focus()); }
    std::string focus_class()
    {
        char cls[64] = "";
        if (void *f = focus())
            GetClassNameA((HWND)f, cls, sizeof cls);
        return cls;
    }
    // The focus is on the control with this text (an edit field: its class).
    bool focus_on(const std::string &text, unsigned ms = 5000)
    {
        return wizard_wait_for(
            [&] { return focus_text() == text || (text == "Edit" && focus_class() == "Edit"); },
            ms);
    }
    bool on_page(const std::string &title, unsigned ms = 10000)
    {
        return wizard_wait_for([&] { return wizard_shown_child(main, title) != nullptr; }, ms);
    }
    // Tab until the focus is on the control with this text, at most 16 times.
    bool tab_to(const std::string &text)
    {
        for (int i = 0; i < 16; i++) {
            if (focus_on(text, 300))
                return true;
            press("Tab");
        }
        return false;
    }
    void *box() { return wizard_find_window(pid, "#32770"); }
    bool next_enabled()
    {
        void *next = wizard_shown_child(main, "Weiter >");
        return next && IsWindowEnabled((HWND)next);
    }
};

// Runs the wizard as an administrator meets it (no test mode) on the site
// and hands it to walk once its window is up; walked tells whether it came.
wizard_watch keyboard_run(const engine_site &site, const std::string &root, bool *walked,
                          const std::function<void(keyboard_user &)> &walk)
{
    *walked = false;
    return wizard_watch_run(places(site, root), nullptr, kLimitMs,
                            [&](void *main, unsigned long pid) {
                                if (!main || *walked)
                                    return;
                                *walked = true;
                                keyboard_user u(main, pid);
                                walk(u);
                            });
}

// Where the focus was when a step expected it elsewhere.
std::string focus_told(keyboard_user &u)
{
    return "focus on " + u.focus_class() + " \"" + u.focus_text() + "\"";
}

class Wizard : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(has_display()) << "the wizard needs a display: run ctest inside xvfb-run -a";
        ASSERT_TRUE(srv_ready());
    }
};

TEST_F(Wizard, TestModeInstallsModifiesRepairsAndRemoves)
{
    engine_site site("wizflow");
    publish_client_site(site);
    // The wizard's installation and a silent one of the same selection, each
    // in a root of its own that holds its programs, state and settings.
    const std::string root = site.root + "\\wizard", silent_root = site.root + "\\silent";
    site.use_installation("wizard");

    wizard_watch w = wizard_watch_run(places(site, root), "1", kLimitMs);
    EXPECT_EQ(w.proc.exit_code, 0) << told(w);
    EXPECT_EQ(pages_text(w.pages), "0,1,3,4,5,6,7,8,9") << told(w);
    EXPECT_EQ(std::string(site.state().installed_version), "1.0.0");
    EXPECT_EQ(std::string(site.state().components), "core,agent,restore,sched,console");

    site.use_installation("silent");
    test_proc silent = test_run_setup(with(places(site, silent_root), {"--silent"}), kLimitMs);
    ASSERT_EQ(silent.exit_code, 0) << silent.out << silent.err;
    std::map<std::string, std::string> by_wizard = left_behind(root),
                                       by_silent = left_behind(silent_root);
    EXPECT_TRUE(by_wizard.count("inst/bin/agent_tool.exe"));
    EXPECT_TRUE(by_wizard.count("ProgramData/orvantis/updater.conf"));
    for (const auto &f : by_silent)
        EXPECT_TRUE(by_wizard.count(f.first) && by_wizard[f.first] == f.second)
            << f.first << " differs from the silent install's";
    for (const auto &f : by_wizard)
        EXPECT_TRUE(by_silent.count(f.first)) << f.first << " only after the wizard";

    // The maintenance runs on the wizard's installation: modify passes the
    // component list, repair and uninstall go from the welcome page straight
    // to the summary.
    site.use_installation("wizard");
    const struct {
        const char *option;
        const char *pages;
        const char *version;  // installed afterwards
    } runs[] = {
        {"--modify", "0,2,3,4,5,6,7,8,9", "1.0.0"},
        {"--repair", "0,7,8,9", "1.0.0"},
        {"--uninstall", "0,7,8,9", ""},
    };
    for (const auto &r : runs) {
        w = wizard_watch_run(with(places(site, root), {r.option}), "1", kLimitMs);
        EXPECT_EQ(w.proc.exit_code, 0) << r.option << ": " << told(w);
        EXPECT_EQ(pages_text(w.pages), r.pages) << r.option << ": " << told(w);
        EXPECT_EQ(std::string(site.state().installed_version), r.version) << r.option;
    }
    EXPECT_EQ(std::string(site.state().components), "");
    EXPECT_FALSE(site_exists(site.bin())) << "programs left after the uninstall";
    EXPECT_TRUE(site_exists(root + "\\ProgramData\\orvantis\\updater.conf"))
        << "the settings stay without --purge";
}

TEST_F(Wizard, TestModeEndsWithOneWhereTheRunCannotGoOn)
{
    engine_site site("wizfail");
    publish_client_site(site);
    const std::string root = site.root + "\\root";
    CreateDirectoryA(site.cfg.state_dir, nullptr);

    // A port where nothing listens (the update server's are taken from the
    // free ones, never port 1).
    const std::string dead = "https://localhost:1/nothing/";
    const struct {
        const char *name;
        std::vector<std::string> extra;
        const char *gui_test;
        const char *pages;
        const char *err_part;  // in standard error, when not empty
    } cases[] = {
        {"dead URL", {"--url", dead}, "1", "0", ""},
        // The variable's value does not matter, an empty one counts.
        {"dead URL, empty value", {"--url", dead}, "", "0", ""},
        // The engine postpones while another holds the lock: the wizard ends
        // with 1, not with the silent mode's 75.
        {"lock held, install", {"--lock-held"}, "1", "0,1,3,4,5,6,7,8,9", ""},
        {"lock held, uninstall", {"--lock-held", "--uninstall"}, "1", "0,7,8,9", ""},
        // A backup server without directory, certificate and key: the page
        // refuses its starting values, the test mode logs why and ends.
        {"page refused", {"--client-server", "h:1"}, "1", "0,1,3,4",
         "Bitte Server, Verzeichnis, Zertifikat und API-Key angeben"},
    };
    const std::string lock = std::string(site.cfg.state_dir) + "\\updater.lock";
    for (const auto &c : cases) {
        std::vector<std::string> extra;
        HANDLE held = INVALID_HANDLE_VALUE;
        for (const auto &e : c.extra) {
            if (e == "--lock-held")
                held = CreateFileA(lock.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            else
                extra.push_back(e);
        }
        bool message_box = false;
        wizard_watch w = wizard_watch_run(
            with(places(site, root), extra), c.gui_test, kLimitMs,
            [&](void *, unsigned long pid) {
                message_box = message_box || wizard_find_window(pid, "#32770");
            });
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        EXPECT_EQ(w.proc.exit_code, 1) << c.name << ": " << told(w);
        // Each ends by itself (a refusal or a failed connection at the next
        // tick), far from the limit.
        EXPECT_LT(w.ms, 60000ul) << c.name;
        EXPECT_EQ(pages_text(w.pages), c.pages) << c.name << ": " << told(w);
        if (*c.err_part) {
            EXPECT_NE(w.proc.err.find(c.err_part), std::string::npos) << c.name << ": " << told(w);
        }
        EXPECT_FALSE(message_box) << c.name << ": a message box opened in the test mode";
        EXPECT_EQ(std::string(site.state().installed_version), "") << c.name;
    }
}

// The wizard heals a switch that an ended run left half done before it
// connects: one that cannot reach its server leaves bin on one version, as
// the state records it.
TEST_F(Wizard, ARunThatCannotConnectHealsAnEndedSwitch)
{
    engine_site site("wizheal");
    publish_client_site(site);
    const std::string root = site.root + "\\root";
    site.use_installation("heal");
    test_proc r = test_run_setup(
        with(places(site, root), {"--silent", "--components", "agent"}), kLimitMs);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_NO_FATAL_FAILURE(
        site.leave_a_switch("2.0.0", {"core_tool", "agent_tool"}, "core,agent", false));

    wizard_watch w = wizard_watch_run(
        with(places(site, root), {"--url", "https://localhost:1/nothing/"}), "1", kLimitMs);
    EXPECT_EQ(w.proc.exit_code, 1) << told(w);
    EXPECT_FALSE(site_exists(std::string(site.cfg.install_dir) + "\\switch.journal"));
    EXPECT_EQ(site.live_version({"agent_tool.exe", "core_tool.exe"}), "1.0.0");
    EXPECT_EQ(std::string(site.state().installed_version), "1.0.0");
}

TEST_F(Wizard, WithoutTheVariableAFailedConnectionWaitsForTheUser)
{
    // Not in the test mode: the welcome page keeps the error and its retry
    // button until someone acts; the test ends the run.
    engine_site site("wizwait");
    const std::string root = site.root + "\\root";
    bool waited = false;
    ULONGLONG failed_at = 0;
    wizard_watch w = wizard_watch_run(
        with(places(site, root), {"--url", "https://localhost:1/nothing/"}), nullptr, kLimitMs,
        [&](void *main, unsigned long pid) {
            if (!main || waited)
                return;
            HWND retry = FindWindowExW((HWND)main, nullptr, L"Button", L"Erneut versuchen");
            if (!retry || !IsWindowVisible(retry))
                return;
            if (!failed_at)
                failed_at = GetTickCount64();
            // Four ticks of the test mode's timer and then some.
            if (GetTickCount64() - failed_at < 1500)
                return;
            waited = true;
            HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
            if (h) {
                TerminateProcess(h, 42);
                CloseHandle(h);
            }
        });
    EXPECT_TRUE(waited) << told(w);
    EXPECT_EQ(w.proc.exit_code, 42) << "it did not wait: " << told(w);
}

TEST_F(Wizard, KeyboardAloneFromStartToEnd)
{
    // An install with keys only: the focus lands where the next key is
    // meant to go after every page change, Back to the first page, a page
    // refused with a message box and Enter in a field; Escape on the result
    // page closes the window with the run's exit code, without a question.
    engine_site site("wizkeys");
    publish_client_site(site);
    const std::string root = site.root + "\\root";
    bool walked = false, asked_at_end = false, keys_ok = true;
    wizard_watch w = keyboard_run(site, root, &walked, [&](keyboard_user &u) {
        ASSERT_TRUE(wizard_wait_for([&] { return u.next_enabled(); }, 30000))
            << "the catalog did not come";
        EXPECT_TRUE(u.focus_on("Weiter >")) << "after connecting: " << focus_told(u);
        const std::string client =
            "Client: Sichern, Wiederherstellen, Job-Planer und Verwaltungskonsole (empfohlen)";
        keys_ok = u.press("Return");
        ASSERT_TRUE(u.on_page("Was soll installiert werden?"));
        EXPECT_TRUE(u.focus_on(client)) << "page 1: " << focus_told(u);

        // Back to the first page, where Back is disabled.
        ASSERT_TRUE(u.tab_to("< Zurück")) << focus_told(u);
        keys_ok = keys_ok && u.press("space");
        ASSERT_TRUE(u.on_page("Willkommen bei orvantis"));
        EXPECT_TRUE(u.focus_on("Weiter >")) << "back on page 0: " << focus_told(u);
        keys_ok = keys_ok && u.press("Return");
        ASSERT_TRUE(u.on_page("Was soll installiert werden?")) << "Enter did nothing";

        // The folder emptied: the page is refused, and typing goes on in the field.
        ASSERT_TRUE(u.tab_to("Edit")) << focus_told(u);
        void *field = u.focus();
        keys_ok = keys_ok && u.press("BackSpace Return");
        ASSERT_TRUE(wizard_wait_for([&] { return u.box() != nullptr; }, 10000))
            << "no message box";
        keys_ok = keys_ok && wizard_press_keys(u.box(), "Return");
        ASSERT_TRUE(wizard_wait_for([&] { return u.box() == nullptr; }, 10000));
        EXPECT_TRUE(u.focus_on("Edit")) << "after the message box: " << focus_told(u);
        keys_ok = keys_ok && u.press("a b c");
        EXPECT_TRUE(wizard_wait_for([&] { return wizard_text_of(field) == "abc"; }, 5000))
            << "typed into the field: \"" << wizard_text_of(field) << "\"";
        wizard_set_field(field, site.cfg.install_dir);

        // Enter in the field goes on; the next page has its first control focused.
        keys_ok = keys_ok && u.press("Return");
        ASSERT_TRUE(u.on_page("Updates"));
        EXPECT_TRUE(u.focus_on("Täglich nach signierten Updates suchen und sie installieren"))
            << "page 3: " << focus_told(u);
        const struct {
            const char *title, *focus;
        } pages[] = {
            {"Verbindung zum Backup-Server", "Verbindung jetzt einrichten"},
            {"Verwaltungskonsole",
             "Die Verwaltungskonsole mit dem Job-Planer dieses Computers verbinden"},
            {"Freigabe für andere Rechner",
             "Diesen Job-Planer für die Verwaltungskonsolen anderer Rechner freigeben"},
            {"Zusammenfassung", "Installieren"},
            {"orvantis ist eingerichtet", "Fertig"},
        };
        for (const auto &p : pages) {
            keys_ok = keys_ok && u.press("Return");
            ASSERT_TRUE(u.on_page(p.title, 120000)) << p.title;
            EXPECT_TRUE(u.focus_on(p.focus)) << p.title << ": " << focus_told(u);
        }
        keys_ok = keys_ok && u.press("Escape");
        wizard_wait_for([&] { return (asked_at_end = u.box() != nullptr); }, 2000);
        if (asked_at_end)
            wizard_press_keys(u.box(), "Return");
    });
    EXPECT_TRUE(walked) << told(w);
    EXPECT_TRUE(keys_ok) << "xdotool could not press the keys";
    EXPECT_FALSE(asked_at_end) << "Escape on the result page asked to cancel";
    EXPECT_EQ(w.proc.exit_code, 0) << told(w);
    EXPECT_EQ(std::string(site.state().installed_version), "1.0.0");
}

TEST_F(Wizard, EnterPressesTheFocusedButton)
{
    // After a failed connection the retry button has the focus: Enter
    // connects again. On page 1 Enter on the browse button opens the folder
    // browser; Escape closes it and the focus is back on the button.
    engine_site site("wizenter");
    publish_client_site(site);
    const std::string catalog = site.dir + "alpha/components.json";
    srv_fault(catalog, "status 404");
    const std::string root = site.root + "\\root";
    bool walked = false, keys_ok = true;
    size_t before = 0, after = 0;
    wizard_watch w = keyboard_run(site, root, &walked, [&](keyboard_user &u) {
        ASSERT_TRUE(u.focus_on("Erneut versuchen", 30000)) << focus_told(u);
        srv_fault(catalog, "");
        before = srv_requests(catalog).size();
        keys_ok = u.press("Return");
        EXPECT_TRUE(wizard_wait_for([&] { return u.next_enabled(); }, 30000))
            << "Enter on the retry button did not connect again";
        after = srv_requests(catalog).size();
        if (!u.next_enabled())
            return;
        keys_ok = keys_ok && u.press("Return");
        ASSERT_TRUE(u.on_page("Was soll installiert werden?"));
        ASSERT_TRUE(u.tab_to("Durchsuchen...")) << focus_told(u);
        keys_ok = keys_ok && u.press("Return");
        EXPECT_TRUE(wizard_wait_for([&] { return u.box() != nullptr; }, 10000))
            << "Enter on the browse button opened no folder browser";
        if (void *browser = u.box()) {
            // Keys reach it only once it has taken the focus; until then an
            // Escape goes nowhere.
            EXPECT_TRUE(wizard_wait_for(
                [&] { return u.focus() && IsChild((HWND)browser, (HWND)u.focus()); }, 10000))
                << focus_told(u);
            keys_ok = keys_ok && wizard_press_keys(browser, "Escape");
            EXPECT_TRUE(wizard_wait_for([&] { return u.box() == nullptr; }, 10000));
            EXPECT_TRUE(u.focus_on("Durchsuchen...")) << focus_told(u);
        }
        // Cancel by keys: the question, answered Yes.
        keys_ok = keys_ok && u.press("Escape");
        if (wizard_wait_for([&] { return u.box() != nullptr; }, 10000))
            keys_ok = keys_ok && wizard_press_keys(u.box(), "Return");
    });
    srv_fault(catalog, "");
    EXPECT_TRUE(walked) << told(w);
    EXPECT_TRUE(keys_ok) << "xdotool could not press the keys";
    EXPECT_GT(after, before) << "no request for the catalog after Enter on the retry button";
    EXPECT_EQ(w.proc.exit_code, 1) << told(w);
}

TEST_F(Wizard, CancelWhileConnectingEndsWithOne)
{
    // The update server holds back the catalog: the connect task hangs. The
    // close box does nothing meanwhile; Escape (Cancel) asks, Return answers
    // Yes, and the process ends with 1 at once, the worker still waiting.
    engine_site site("wizcancel");
    publish_client_site(site);
    const unsigned stall_s = 60;
    srv_fault(site.dir + "alpha/components.json", "stall " + std::to_string(stall_s));
    const std::string root = site.root + "\\root";

    enum { WAIT_PAGE, CLOSED_BOX, ASKED, ANSWERED } stage = WAIT_PAGE;
    ULONGLONG shown_at = 0, answered_at = 0;
    bool window_after_close = false, keys_ok = true;
    wizard_watch w = wizard_watch_run(
        places(site, root), nullptr, kLimitMs, [&](void *main, unsigned long pid) {
            switch (stage) {
            case WAIT_PAGE:
                if (!main)
                    return;
                if (!shown_at)
                    shown_at = GetTickCount64();
                if (GetTickCount64() - shown_at < 1000)
                    return;
                PostMessageW((HWND)main, WM_CLOSE, 0, 0);
                stage = CLOSED_BOX;
                shown_at = GetTickCount64();
                return;
            case CLOSED_BOX:
                if (GetTickCount64() - shown_at < 1000)
                    return;
                window_after_close = main != nullptr && !wizard_find_window(pid, "#32770");
                keys_ok = wizard_press_keys(main, "Escape");
                stage = ASKED;
                return;
            case ASKED:
                if (void *box = wizard_find_window(pid, "#32770")) {
                    keys_ok = keys_ok && wizard_press_keys(box, "Return");
                    answered_at = GetTickCount64();
                    stage = ANSWERED;
                }
                return;
            case ANSWERED:
                return;
            }
        });
    EXPECT_TRUE(window_after_close) << "the close box acted while connecting: " << told(w);
    EXPECT_TRUE(keys_ok) << "xdotool could not press the keys";
    ASSERT_EQ(stage, ANSWERED) << "no question came: " << told(w);
    EXPECT_EQ(w.proc.exit_code, 1) << told(w);
    EXPECT_LT(GetTickCount64() - answered_at, (stall_s - 20) * 1000ull)
        << "it waited for the connect task";
    srv_fault(site.dir + "alpha/components.json", "");
}

}  // namespace
