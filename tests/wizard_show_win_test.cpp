// How a text of the setup context becomes a control's text: UTF-8 or the
// ANSI code page, the limit in UTF-16 units, and control characters shown
// escaped in what the wizard shows but kept in what a field holds.
// gui
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "wizard_win.h"

namespace {

std::wstring shown(const char *text, size_t limit)
{
    std::u16string out(limit + 1, u'#');
    wizard_show_text(text, &out[0], limit);
    return std::wstring((const wchar_t *)out.c_str());
}

TEST(WizardShowText, ControlCharactersAreShownEscaped)
{
    struct {
        const char *text;
        size_t limit;
        const wchar_t *expected;
    } cases[] = {
        {"Prüfung läuft", 100, L"Prüfung läuft"},
        {"Zeile 1\r\nZeile 2", 100, L"Zeile 1\r\nZeile 2"},
        // A catalog title or an engine sentence with an escape sequence.
        {"Agent \x1b[31mrot\x1b[0m ä", 100, L"Agent \\x1b[31mrot\\x1b[0m ä"},
        {"Gr\xF6\xDF" "e\x07", 100, L"Größe\\x07"},
        // Too long as it is: empty, as any text that does not fit.
        {"abcdef\x1b", 5, L""},
        // It fits, its escapes do not: as much as fits, never part of an
        // escape or of a character.
        {"abc\x1b", 5, L"abc"},
        {"abc\x1b", 7, L"abc\\x1b"},
        {"\xF0\x9F\x98\x80\x1b", 3, L"\U0001F600"},
        {"a\x1b\xF0\x9F\x98\x80", 6, L"a\\x1b"},
    };
    for (auto &c : cases)
        EXPECT_EQ(shown(c.text, c.limit), c.expected) << c.text;
    char16_t out[4] = u"##";
    wizard_show_text(nullptr, out, 3);
    EXPECT_EQ(out[0], 0);
}

// A field shows its value unescaped, since Next reads it back as the value.
TEST(WizardShowText, FieldKeepsItsValue)
{
    HWND field = CreateWindowExW(0, L"EDIT", L"", WS_POPUP, 0, 0, 100, 20, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(field, nullptr) << GetLastError();
    wizard_set_text(field, "C:\\Prüf\x1b", 100);
    wchar_t back[32] = L"";
    GetWindowTextW(field, back, 32);
    EXPECT_EQ(std::wstring(back), L"C:\\Prüf\x1b");
    DestroyWindow(field);
}

}  // namespace
