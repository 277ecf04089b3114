// The wizard under the keyboard: where the focus goes when a page changes,
// keeping it while another window is active, and the button Enter presses.
// The window is no dialog, so none of this comes from the dialog manager:
// without it a page change could leave the focus on a control that the new
// page hides or disables, and from there no key would reach the window.
#include <windows.h>

#include "wizard_win.h"

// 1 when the control itself is shown and enabled (its page is the one shown).
static int usable(HWND h)
{
    return h && (GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE) && IsWindowEnabled(h);
}

// 1 for a radio button, as the dialog manager tells them.
static int is_radio(HWND h)
{
    return (SendMessageW(h, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON) != 0;
}

// Of the radio group that starts at entry i of the page's row, the checked
// button; the one at i when none of the group is checked and usable.
static HWND checked_of_group(int page, int i)
{
    HWND first = wizard.page_controls[page][i];
    for (int j = i; j < wizard.page_control_count[page]; j++) {
        HWND h = wizard.page_controls[page][j];
        if (!h || !is_radio(h) || (j > i && (GetWindowLongW(h, GWL_STYLE) & WS_GROUP)))
            break;
        if (usable(h) && SendMessageW(h, BM_GETCHECK, 0, 0) == BST_CHECKED)
            return h;
    }
    return first;
}

HWND wizard_first_control(int page)
{
    if (page >= 0 && page < WIZARD_PAGES) {
        for (int i = 0; i < wizard.page_control_count[page]; i++) {
            HWND h = wizard.page_controls[page][i];
            if (!usable(h))
                continue;
            if (h == wizard.panel) {
                // The panel's checkboxes come in Tab order where the panel stands.
                for (int k = 0; k < WIZARD_ITEMS; k++)
                    if (usable(wizard.item_checkbox[k]))
                        return wizard.item_checkbox[k];
                continue;
            }
            if (!(GetWindowLongW(h, GWL_STYLE) & WS_TABSTOP))
                continue;
            return is_radio(h) ? checked_of_group(page, i) : h;
        }
    }
    if (usable(wizard.next_button))
        return wizard.next_button;
    if (usable(wizard.cancel_button))
        return wizard.cancel_button;
    return nullptr;
}

void wizard_focus(HWND h)
{
    if (!h) {
        // Nothing on the page takes keys (page 8): the window keeps them, so
        // Escape and Enter still reach the message loop's dialog handling.
        wizard.focus_control = nullptr;
        SetFocus(wizard.main_window);
        return;
    }
    wizard.focus_control = h;
    if (SendMessageW(h, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL)
        SendMessageW(h, EM_SETSEL, 0, -1);
    SetFocus(h);
}

void wizard_activated(HWND hwnd, WPARAM wp)
{
    if (LOWORD(wp) == WA_INACTIVE) {
        HWND f = GetFocus();
        if (f && IsChild(hwnd, f))
            wizard.focus_control = f;
        return;
    }
    if (HIWORD(wp))
        return;  // minimised
    HWND keep = wizard.focus_control;
    if (keep && IsWindow(keep) && IsChild(hwnd, keep) && IsWindowVisible(keep) &&
        IsWindowEnabled(keep))
        SetFocus(keep);
    else
        wizard_focus(wizard_first_control(wizard.page));
}

// 1 for a push button (default or not), as the dialog manager tells them.
static int is_push_button(HWND h)
{
    return (SendMessageW(h, WM_GETDLGCODE, 0, 0) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) !=
           0;
}

int wizard_default_id(void)
{
    HWND f = GetFocus();
    if (f && wizard.main_window && GetParent(f) == wizard.main_window && is_push_button(f))
        return GetDlgCtrlID(f);
    return WIZARD_ID_NEXT;
}

void wizard_follow_focus(void)
{
    HWND f = GetFocus();
    if (f == wizard.marked_focus || !wizard.main_window)
        return;
    wizard.marked_focus = f;
    int id = wizard_default_id();
    for (HWND h = GetWindow(wizard.main_window, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
        if (!is_push_button(h))
            continue;
        LONG want = GetDlgCtrlID(h) == id ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
        if ((GetWindowLongW(h, GWL_STYLE) & BS_TYPEMASK) != want)
            SendMessageW(h, BM_SETSTYLE, (WPARAM)want, TRUE);
    }
}
