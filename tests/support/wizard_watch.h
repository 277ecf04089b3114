// orv_setup.exe's wizard watched from outside while it runs: which pages it
// showed, in order (from its log), its windows, and keys pressed on them
// through the X server with xdotool, as a user would. Windows tests only; a test that uses it runs with
// a display (a line "// gui" in its source gives it ctest's label "gui").
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "run_win.h"

// What one run showed.
struct wizard_watch {
    test_proc proc;                   // the run itself
    std::vector<int> pages;           // every page as it came up, in order
    unsigned long ms = 0;             // how long the run took
};

// Runs orv_setup.exe with args. gui_test is the value ORV_SETUP_GUI_TEST gets
// in the run (null: the variable is not set). act, when given, is called with
// the main window (null until it is shown) and the process id at every look,
// about every 20 ms. A run still going after timeout_ms is ended (timed_out).
wizard_watch wizard_watch_run(const std::vector<std::string> &args, const char *gui_test,
                              unsigned timeout_ms,
                              const std::function<void(void *, unsigned long)> &act = nullptr);

// The visible top-level window of process pid with the window class cls
// ("OrvSetupWnd", "#32770" for a message box); null when there is none.
void *wizard_find_window(unsigned long pid, const char *cls);

// The control that has the keyboard focus in the thread of window, or null.
void *wizard_focus_of(void *window);
// A window's text (WM_GETTEXT, so an edit field's too) in UTF-8.
std::string wizard_text_of(void *window);
// The shown child of window whose text is text (UTF-8), or null.
void *wizard_shown_child(void *window, const std::string &text);
// Sets an edit field's text from outside, as pasting it would.
void wizard_set_field(void *field, const std::string &text);
// Looks at cond every 50 ms until it holds, at most ms: whether it held.
bool wizard_wait_for(const std::function<bool()> &cond, unsigned ms);

// Focuses the X window behind the top-level window and presses keys there
// (xdotool's key names, "Escape", "Return"); true when xdotool did it.
bool wizard_press_keys(void *window, const std::string &keys);

// Runs a shell command on the Unix side of Wine and waits for it, at most
// timeout_ms: its exit code, or -1 when it could not start or took longer.
// out gets what it printed.
int test_unix_run(const std::string &command, unsigned timeout_ms = 20000,
                  std::string *out = nullptr);
