// Every sentence that the update engine and the common library write into an
// error buffer reaches the user in German: the formats are collected from
// their sources at build time (support/engine_sentences.py), each is written
// out with sample values, and the translation must leave no English behind.
// A sentence added to the engine without its German row fails here, named by
// its file and line.
#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include <string>
#include <vector>

#include "http.h"
#include "msg.h"

namespace {

// One sentence format of the engine's sources.
struct engine_sentence {
    const char *where;        // "src/updater/x.cpp:12"
    const char *format;       // the printf format as the source has it
    int choice;               // the conversion whose value the source spells out, or -1
    const char *choices[4];   // those values (null after the last)
};

const engine_sentence kSentences[] = {
#include "engine_sentences.inc"
};

// The format with each conversion replaced: the chosen conversion by value,
// other texts by "sample", numbers by "7", characters by "x".
std::string written(const char *format, int choice, const char *value)
{
    std::string out;
    int index = 0;
    for (const char *p = format; *p; p++) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        p++;
        if (*p == '%') {
            out += '%';
            continue;
        }
        while (*p && strchr("-+ #0123456789.*hlzjtL", *p))
            p++;
        if (!*p)
            break;
        if (index == choice)
            out += value;
        else if (*p == 's')
            out += "sample";
        else if (*p == 'c')
            out += "x";
        else
            out += "7";
        index++;
    }
    return out;
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

// The plain lower-case English words of the format's own text, with a break
// ("") where a conversion or other text stood between them.
std::vector<std::string> plain_words(const char *format)
{
    std::vector<std::string> words;
    std::string word;
    bool plain = true;
    auto flush = [&](bool gap) {
        if (!word.empty())
            words.push_back(plain ? word : "");
        else if (gap)
            words.push_back("");
        word.clear();
        plain = true;
    };
    for (const char *p = format; *p; p++) {
        if (*p == ' ') {
            flush(false);
        } else if (*p == '%') {
            flush(true);
            p++;
            while (*p && strchr("-+ #0123456789.*hlzjtL", *p))
                p++;
            if (!*p)
                break;
            words.push_back("");
        } else {
            plain = plain && *p >= 'a' && *p <= 'z';
            word += *p;
        }
    }
    flush(false);
    return words;
}

// 1 when the words stand side by side in text as whole words.
bool has_words(const std::string &text, const std::string &run)
{
    for (size_t at = text.find(run); at != std::string::npos; at = text.find(run, at + 1)) {
        bool start = at == 0 || !isalpha((unsigned char)text[at - 1]);
        size_t end = at + run.size();
        bool stop = end == text.size() || !isalpha((unsigned char)text[end]);
        if (start && stop)
            return true;
    }
    return false;
}

// Why the German text of message still holds English, or "" when it does not:
// the text came back unchanged, or it holds two neighbouring words of the
// format's own text (both of three letters or more), or three of any length.
std::string english_left(const char *format, const std::string &message)
{
    char buf[MSG_TEXT_SIZE];
    msg_snprintf(buf, sizeof buf, "%s", message.c_str());
    msg_localize(buf, sizeof buf);
    std::string german = lower(buf);
    if (german == lower(message))
        return "left as it is: " + std::string(buf);
    std::vector<std::string> w = plain_words(format);
    for (size_t i = 0; i + 1 < w.size(); i++) {
        if (w[i].empty() || w[i + 1].empty())
            continue;
        std::string two = w[i] + " " + w[i + 1];
        if (w[i].size() >= 3 && w[i + 1].size() >= 3 && has_words(german, two))
            return "\"" + two + "\" left in: " + buf;
        if (i + 2 < w.size() && !w[i + 2].empty() && has_words(german, two + " " + w[i + 2]))
            return "\"" + two + " " + w[i + 2] + "\" left in: " + buf;
    }
    return "";
}

// Formats whose value is a word that the callers of a shared routine pass,
// out of the collection's sight: the words, for one conversion.
const engine_sentence kCallerWords[] = {
    {"callers of install_programs_busy", "%s is running: postponing the %s", 1,
     {"installation", "update", "rollback", nullptr}},
};

// The messages a format stands for: one per value the source (or the table
// above) spells out for it, or one with sample values.
std::vector<std::string> messages_of(const engine_sentence &s)
{
    const engine_sentence *from = &s;
    for (const engine_sentence &w : kCallerWords)
        if (s.choice < 0 && strcmp(w.format, s.format) == 0)
            from = &w;
    std::vector<std::string> out;
    for (const char *const *c = from->choices; from->choice >= 0 && c < from->choices + 4 && *c;
         c++)
        out.push_back(written(s.format, from->choice, *c));
    if (out.empty())
        out.push_back(written(s.format, -1, ""));
    return out;
}

// Formats whose values come from routines of their own; their messages are
// made by those routines below.
const char *const kMadeElsewhere[] = {
    "request to %s failed (WinHTTP error %lu) %s",
    "the certificate of %s is not the pinned one%s",
};

bool made_elsewhere(const char *format)
{
    for (const char *f : kMadeElsewhere)
        if (strcmp(f, format) == 0)
            return true;
    return false;
}

}  // namespace

TEST(MsgCoverage, EverySentenceOfTheEngineIsGerman)
{
    // The collection found the engine's sentences at all.
    bool found_lock_sentence = false;
    for (const engine_sentence &s : kSentences)
        found_lock_sentence |= strcmp(s.format, "cannot use the state directory %s") == 0;
    EXPECT_TRUE(found_lock_sentence) << "the sentences of the sources were not collected";
    for (const engine_sentence &w : kCallerWords) {
        bool collected = false;
        for (const engine_sentence &s : kSentences)
            collected |= strcmp(s.format, w.format) == 0;
        EXPECT_TRUE(collected) << w.where << ": \"" << w.format << "\" is written no more";
    }

    for (const engine_sentence &s : kSentences) {
        if (made_elsewhere(s.format))
            continue;
        for (const std::string &m : messages_of(s)) {
            std::string why = english_left(s.format, m);
            EXPECT_EQ(why, "") << s.where << ": \"" << s.format << "\" has no German row";
        }
    }
}

// The failed request names the host and WinHTTP's error; for the errors that
// have a reason of their own the reason follows, and the German row says it.
TEST(MsgCoverage, EveryRequestFailureIsGerman)
{
    const char *format = kMadeElsewhere[0];
    bool collected = false;
    for (const engine_sentence &s : kSentences)
        collected |= strcmp(s.format, format) == 0;
    EXPECT_TRUE(collected) << "the request failure is no longer written with \"" << format
                           << "\"";
    for (unsigned long error = 12000; error < 12200; error++) {
        char err[600];
        http_request_failure(err, sizeof err, "localhost", error);
        EXPECT_EQ(english_left(format, err), "") << error;
    }
}

TEST(MsgCoverage, EveryPinFailureIsGerman)
{
    const char *format = kMadeElsewhere[1];
    bool collected = false;
    for (const engine_sentence &s : kSentences)
        collected |= strcmp(s.format, format) == 0;
    EXPECT_TRUE(collected) << "the pin failure is no longer written with \"" << format << "\"";
    std::vector<std::string> details = {"",
                                        " (the certificate of the connection could not be read, "
                                        "error 5)"};
    for (size_t pins : {1u, 2u}) {
        char detail[HTTP_PIN_DETAIL];
        http_pin_detail(detail, "0a1b", "2c3d", pins);
        details.push_back(detail);
    }
    for (const std::string &d : details) {
        std::string message = "the certificate of localhost is not the pinned one" + d;
        EXPECT_EQ(english_left(format, message), "") << d;
    }
}
