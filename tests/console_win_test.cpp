// console_write: UTF-16 for a console, the ANSI code page for text that is not
// UTF-8, and unchanged bytes for files and pipes; the callbacks of the silent
// mode and the warning summary.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "console.h"
#include "console_win.h"
#include "log.h"
#include "seam_guard.h"
#include "setup_options.h"
#include "test_util.h"

// A pretend console: the test runner gives the program pipes only.
static struct {
    bool is_console;        // what GetConsoleMode answers
    std::wstring written;   // what WriteConsoleW received
    HANDLE handle;          // the handle it was given
    int writes;             // how often it was called
    std::string file_path;  // the stream's file, read at the moment of the write
    std::string file_then;  // its bytes at that moment
} g;

static const HANDLE kOut = (HANDLE)(intptr_t)0x1110;
static const HANDLE kErr = (HANDLE)(intptr_t)0x2220;

static HANDLE WINAPI fake_std_handle(DWORD which)
{
    return which == STD_ERROR_HANDLE ? kErr : which == STD_OUTPUT_HANDLE ? kOut : nullptr;
}

static BOOL WINAPI fake_console_mode(HANDLE h, LPDWORD mode)
{
    *mode = 3;
    return g.is_console && (h == kOut || h == kErr);
}

static int fake_not_tty(int) { return 0; }
static int fake_tty(int) { return 1; }

static BOOL WINAPI fake_write(HANDLE h, const VOID *units, DWORD count, LPDWORD written, LPVOID)
{
    g.written.assign((const wchar_t *)units, count);
    g.handle = h;
    g.writes++;
    if (!g.file_path.empty())
        g.file_then = test_read_file(g.file_path);
    *written = count;
    return TRUE;
}

class ConsoleWrite : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = console_calls;
        console_calls = {fake_std_handle, fake_console_mode, fake_write, fake_not_tty};
        g.is_console = false;
        g.written.clear();
        g.handle = nullptr;
        g.writes = 0;
        g.file_path = test_temp_dir("console") + "\\out.txt";
        g.file_then.clear();
    }
    void TearDown() override { console_calls = saved_; }

    // Writes text through a stream on a file; returns the file's bytes.
    std::string write_to_file(const char *before, const char *text)
    {
        FILE *f = fopen(g.file_path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        static char buffer[4096];
        setvbuf(f, buffer, _IOFBF, sizeof buffer); // keep "before" in the buffer
        fputs(before, f);
        console_write(f, text);
        fclose(f);
        return test_read_file(g.file_path);
    }

    console_sys saved_;
};

TEST_F(ConsoleWrite, ConsoleGetsUtf16)
{
    g.is_console = true;
    struct {
        const char *text;
        const wchar_t *expected;
    } cases[] = {
        {"Prüfung läuft\n", L"Prüfung läuft\n"},
        {"Fehler: „x“ – größer als 5 €.\n", L"Fehler: „x“ – größer als 5 €.\n"},
        {"a", L"a"},
    };
    for (auto &c : cases) {
        g.writes = 0;
        std::string file = write_to_file("vorher ", c.text);
        EXPECT_EQ(g.writes, 1) << c.text;
        EXPECT_EQ(g.written, c.expected) << c.text;
        EXPECT_EQ(g.handle, kOut) << c.text;
        // Bytes written through the stream before reach their target first.
        EXPECT_EQ(g.file_then, "vorher ") << c.text;
        EXPECT_EQ(file, "vorher ") << c.text;
    }
}

TEST_F(ConsoleWrite, StandardErrorUsesItsOwnHandle)
{
    g.is_console = true;
    g.file_path.clear();
    console_write(stderr, "Warnung: ä\n");
    EXPECT_EQ(g.handle, kErr);
    EXPECT_EQ(g.written, L"Warnung: ä\n");
}

TEST_F(ConsoleWrite, TextThatIsNotUtf8IsReadInTheAnsiCodePage)
{
    g.is_console = true;
    const char *text = "Gr\xF6\xDF" "e \xE4";
    wchar_t expected[16];
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, expected, 16);
    ASSERT_GT(n, 1);
    write_to_file("", text);
    EXPECT_EQ(g.writes, 1);
    EXPECT_EQ(g.written, std::wstring(expected, (size_t)n - 1));
    EXPECT_EQ(g.written.find(L'\xFFFD'), std::wstring::npos);
}

TEST_F(ConsoleWrite, AnsiPathInAGermanSentenceKeepsBoth)
{
    // A folder in the ANSI code page (as paths are) in a sentence in UTF-8:
    // the sentence's umlauts stay umlauts and the folder shows as it is.
    g.is_console = true;
    wchar_t ue[4];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xFC", -1, ue, 4), 2);
    write_to_file("", "Fehler: C:\\Pr\xFC" "f l\xC3\xA4sst sich nicht anlegen.\n");
    EXPECT_EQ(g.writes, 1);
    EXPECT_EQ(g.written, L"Fehler: C:\\Pr" + std::wstring(1, ue[0]) +
                             L"f l\u00E4sst sich nicht anlegen.\n");
}

TEST_F(ConsoleWrite, FilesAndEmptyTextGetTheBytes)
{
    struct {
        const char *name;
        bool is_console;
        const char *text;
    } cases[] = {
        {"file, UTF-8", false, "Prüfung läuft\n"},
        {"file, not UTF-8", false, "Gr\xF6\xDF" "e\n"},
        {"console, empty text", true, ""},
    };
    for (auto &c : cases) {
        g.is_console = c.is_console;
        g.writes = 0;
        EXPECT_EQ(write_to_file("x", c.text), std::string("x") + c.text) << c.name;
        EXPECT_EQ(g.writes, 0) << c.name;
    }
}

// A text that brings control characters from a file, the command line or the
// server shows them escaped, on a console and in a file or pipe alike (under
// Wine a pipe ends at the administrator's terminal); line breaks stay.
TEST_F(ConsoleWrite, ControlCharactersAreShownEscaped)
{
    const char *text = "Fehler: Unbekannte Option --\x1b[2J\x1b]0;x\x07\r\n";
    const char *shown = "Fehler: Unbekannte Option --\\x1b[2J\\x1b]0;x\\x07\r\n";
    g.is_console = false;
    EXPECT_EQ(write_to_file("", text), shown);
    g.is_console = true;
    g.writes = 0;
    EXPECT_EQ(write_to_file("", text), "");
    EXPECT_EQ(g.writes, 1);
    EXPECT_EQ(g.written, L"Fehler: Unbekannte Option --\\x1b[2J\\x1b]0;x\\x07\r\n");
    // A text of the ANSI code page too.
    g.is_console = false;
    EXPECT_EQ(write_to_file("", "Gr\xF6\xDF" "e\x1b"), "Gr\xF6\xDF" "e\\x1b");
}

// Sends what a descriptor receives (1 or 2) into a file for the life of the
// object; finish() puts the descriptor back and returns the bytes. The file
// is opened in binary mode, so line feeds stay as they are.
class fd_capture {
public:
    fd_capture(int fd, const std::string &path) : fd_(fd), path_(path)
    {
        fflush(stdout);
        fflush(stderr);
        saved_ = _dup(fd);
        int f = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                      _S_IREAD | _S_IWRITE);
        _dup2(f, fd);
        _close(f);
    }
    std::string finish()
    {
        if (saved_ >= 0) {
            fflush(stdout);
            fflush(stderr);
            _dup2(saved_, fd_);
            _close(saved_);
            saved_ = -1;
        }
        return test_read_file(path_);
    }
    ~fd_capture() { finish(); }

private:
    int fd_;
    std::string path_;
    int saved_;
};

// The callbacks of the silent mode with standard output and error in files;
// whether standard output counts as a console is the test's choice.
class ConsoleCallbacks : public ::testing::Test {
protected:
    void SetUp() override
    {
        console_calls.get_console_mode = fake_console_mode; // never a console
        g.is_console = false;
        dir_ = test_temp_dir("console_cb");
        ctx_.reset(new setup_context);
        setup_options_base_defaults(ctx_.get());
        console_warnings_clear();
    }
    void TearDown() override
    {
        log_set_callback(nullptr, nullptr);
        console_warnings_clear();
    }
    // Runs fn with both streams captured; out and err receive what they got.
    template <class Fn> void run(Fn fn, std::string *out, std::string *err)
    {
        fd_capture o(1, dir_ + "\\out.txt");
        fd_capture e(2, dir_ + "\\err.txt");
        fn();
        *out = o.finish();
        *err = e.finish();
    }

    seam_guard<console_sys> guard_{console_calls};
    std::string dir_;
    std::unique_ptr<setup_context> ctx_;
};

TEST_F(ConsoleCallbacks, BarStepsAndMessages)
{
    const std::string half = "\r      [###############...............]  50%  500 Bytes von 1,0 kB   ";
    const std::string full = "\r      [" + std::string(30, '#') + "] 100%  1,0 kB von 1,0 kB   ";
    const std::string step = "  [2/5] Installiere und prüfe die Programme\n";
    setup_context *ctx = ctx_.get();
    struct {
        const char *name;
        bool tty;
        void (*fn)(setup_context *ctx);
        std::string out, err;
    } cases[] = {
        {"an unfinished bar ends before the step line", true,
         [](setup_context *c) {
             console_progress(nullptr, 500, 1000);
             console_step(c, "installing", 1, 5);
         },
         half + "\n" + step, ""},
        {"a finished bar ends its own line", true,
         [](setup_context *c) {
             console_progress(nullptr, 500, 1000);
             console_progress(nullptr, 1000, 1000);
             console_step(c, "installing", 1, 5);
         },
         half + full + "\n" + step, ""},
        {"beyond the total the line ends too", true,
         [](setup_context *c) { console_progress(nullptr, 2000, 1000); },
         "\r      [" + std::string(30, '#') + "] 200%  2,0 kB von 1,0 kB   \n", ""},
        {"total 0 draws nothing", true,
         [](setup_context *c) { console_progress(nullptr, 0, 0); }, "", ""},
        {"redirected output gets no bar, only step lines", false,
         [](setup_context *c) {
             console_progress(nullptr, 500, 1000);
             console_step(c, "installing", 1, 5);
         },
         step, ""},
        {"a message after an unfinished bar", true,
         [](setup_context *c) {
             console_progress(nullptr, 500, 1000);
             console_message(c, 1, "Der Dienst läuft weiter");
             console_message(c, 2, "Abbruch");
         },
         half + "\n", "Warnung: Der Dienst läuft weiter\nFehler: Abbruch\n"},
    };
    for (auto &c : cases) {
        console_calls.is_tty = c.tty ? fake_tty : fake_not_tty;
        std::string out, err;
        run([&] { c.fn(ctx); }, &out, &err);
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(err, c.err) << c.name;
    }
}

TEST_F(ConsoleCallbacks, InstalledIntoTheContext)
{
    console_install_callbacks(ctx_.get());
    EXPECT_EQ(ctx_->callbacks.step_fn, console_step);
    EXPECT_EQ(ctx_->callbacks.bytes_fn, console_progress);
    EXPECT_EQ(ctx_->callbacks.message_fn, console_message);
    EXPECT_EQ(ctx_->callbacks.callback_user, ctx_.get());
}

TEST_F(ConsoleCallbacks, LogWarningsOnlyInTheSummary)
{
    log_init("orv_setup", LOG_INFO);
    std::string out, err;
    run(
        [] {
            console_capture_log();
            log_write(LOG_INFO, "nur eine Auskunft");
            log_write(LOG_DEBUG, "unter dem Filter");
            log_write(LOG_WARN, "cannot reach %s", "the server");
        },
        &out, &err);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, ""); // no log line at all in silent mode

    run([] { console_print_warnings(); }, &out, &err);
    EXPECT_EQ(out, "\nWarnung (Protokoll):\n  cannot reach the server\n");
    EXPECT_EQ(err, "");

    console_warnings_clear();
    run([] { console_print_warnings(); }, &out, &err);
    EXPECT_EQ(out, "");
}
