// The state file's text: every line rule, and the exact eight-line format.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "state.h"

namespace {

// The eight lines that state_format writes for these values.
std::string lines(long long seq, const std::string &sc, const std::string &iv, const std::string &pv,
                  const std::string &bv, long long cseq, const std::string &cc, const std::string &comp)
{
    return "last_sequence=" + std::to_string(seq) + "\nsequence_channel=" + sc +
           "\ninstalled_version=" + iv + "\nprevious_version=" + pv + "\nbad_versions=" + bv +
           "\nlast_catalog_sequence=" + std::to_string(cseq) + "\ncatalog_channel=" + cc +
           "\ncomponents=" + comp + "\n";
}

const std::string EMPTY = lines(0, "", "", "", "", 0, "", "");

std::string format(const updater_state &st)
{
    char buf[STATE_TEXT_MAX];
    int n = state_format(&st, buf, sizeof buf);
    EXPECT_GE(n, 0);
    EXPECT_LT((size_t)n, sizeof buf);
    return std::string(buf, (size_t)n);
}

// Parses text (in a copy) and formats the record again.
std::string reread(std::string text)
{
    updater_state st;
    memset(&st, 0x5a, sizeof st);
    state_parse_text(&st, &text[0], text.size());
    return format(st);
}

// A list of ids of exactly 255 characters: 25 ids of 9 letters, then one of 5.
std::string long_components()
{
    std::string s;
    for (int i = 0; i < 25; i++)
        s += std::string(9, (char)('a' + i)) + ",";
    return s + "zzzzz";
}

// A state with every field as long as it may be.
updater_state full_state()
{
    updater_state st;
    memset(&st, 0, sizeof st);
    st.last_sequence = 77;
    strcpy(st.sequence_channel, std::string(63, 's').c_str());
    strcpy(st.installed_version, "999999999.999999999.999999999-rc.aaaaaaaaaaaaaaa");
    strcpy(st.previous_version, "1.0.0");
    strcpy(st.bad_versions, std::string(511, 'b').c_str());
    st.last_catalog_sequence = 3;
    strcpy(st.catalog_channel, std::string(63, 'c').c_str());
    strcpy(st.components, long_components().c_str());
    return st;
}

}  // namespace

TEST(State, FormatIsExact)
{
    updater_state st;
    memset(&st, 0, sizeof st);
    EXPECT_EQ(format(st),
              "last_sequence=0\nsequence_channel=\ninstalled_version=\nprevious_version=\n"
              "bad_versions=\nlast_catalog_sequence=0\ncatalog_channel=\ncomponents=\n");
    st.last_sequence = 12;
    strcpy(st.sequence_channel, "stable");
    strcpy(st.installed_version, "2.0.0");
    strcpy(st.previous_version, "1.9.0-rc.1");
    strcpy(st.bad_versions, "1.8.0 1.8.1");
    st.last_catalog_sequence = 9223372036854775807LL;
    strcpy(st.catalog_channel, "beta");
    strcpy(st.components, "core,agent");
    EXPECT_EQ(format(st),
              "last_sequence=12\nsequence_channel=stable\ninstalled_version=2.0.0\n"
              "previous_version=1.9.0-rc.1\nbad_versions=1.8.0 1.8.1\n"
              "last_catalog_sequence=9223372036854775807\ncatalog_channel=beta\ncomponents=core,agent\n");
    // The snprintf contract: cut and terminated, the whole length returned.
    char small[10];
    EXPECT_EQ(state_format(&st, small, sizeof small), (int)format(st).size());
    EXPECT_STREQ(small, "last_sequ");
}

TEST(State, LineRules)
{
    const std::string comps = long_components();
    struct {
        const char *name;
        std::string text, expected;
    } cases[] = {
        {"empty text", "", EMPTY},
        {"all eight lines",
         "last_sequence=3\nsequence_channel=stable\ninstalled_version=2.0.0\nprevious_version=1.0.0\n"
         "bad_versions=1.5.0\nlast_catalog_sequence=4\ncatalog_channel=beta\ncomponents=core,agent\n",
         lines(3, "stable", "2.0.0", "1.0.0", "1.5.0", 4, "beta", "core,agent")},
        {"windows line ends",
         "last_sequence=3\r\nsequence_channel=stable\r\ninstalled_version=2.0.0\r\ncomponents=core\r\n",
         lines(3, "stable", "2.0.0", "", "", 0, "", "core")},
        {"several carriage returns", "catalog_channel=beta\r\r\n", lines(0, "", "", "", "", 0, "beta", "")},
        {"last line without line feed", "installed_version=2.0.0", lines(0, "", "2.0.0", "", "", 0, "", "")},
        {"negative sequence", "last_sequence=-5\nlast_catalog_sequence=-1\n", EMPTY},
        {"blanks after the equals sign", "last_sequence=   42\nlast_catalog_sequence=\t7\n",
         lines(42, "", "", "", "", 7, "", "")},
        {"text after the number", "last_sequence=42abc\n", lines(42, "", "", "", "", 0, "", "")},
        {"no number", "last_sequence=abc\nlast_sequence=\n", EMPTY},
        {"blank before the equals sign", "last_sequence =5\nsequence_channel =x\n", EMPTY},
        {"largest sequence", "last_catalog_sequence=9223372036854775807\n",
         lines(0, "", "", "", "", 9223372036854775807LL, "", "")},
        {"version with a trailing blank", "installed_version=2.0.0 \nprevious_version=v1.0.0\n", EMPTY},
        {"empty version", "installed_version=\n", EMPTY},
        {"blanks stay in texts", "sequence_channel= a b \n", lines(0, " a b ", "", "", "", 0, "", "")},
        {"channel cut to 63", "sequence_channel=" + std::string(70, 'c') + "\n",
         lines(0, std::string(63, 'c'), "", "", "", 0, "", "")},
        // A carriage return that ends a value only once it is cut (at the
        // field size, or at a NUL byte of a damaged file) is dropped, or the
        // next write and read would lose it.
        {"channel cut before a carriage return",
         "catalog_channel=" + std::string(62, 'c') + "\rdd\n",
         lines(0, "", "", "", "", 0, std::string(62, 'c'), "")},
        {"value ended early by a NUL byte",
         std::string("sequence_channel=abc\r\0zz\nbad_versions=1.0.0\r\r\0x\n", 48),
         lines(0, "abc", "", "", "1.0.0", 0, "", "")},
        {"carriage return inside a value stays", "sequence_channel=a\rb\n",
         lines(0, "a\rb", "", "", "", 0, "", "")},
        {"failed versions of 511", "bad_versions=" + std::string(511, 'b') + "\n",
         lines(0, "", "", "", std::string(511, 'b'), 0, "", "")},
        {"failed versions cut to 511", "bad_versions=" + std::string(600, 'b') + "\n",
         lines(0, "", "", "", std::string(511, 'b'), 0, "", "")},
        {"trailing comma", "components=agent,core,\n", lines(0, "", "", "", "", 0, "", "agent,core")},
        {"two commas", "components=agent,,core\n", EMPTY},
        {"leading comma", "components=,agent\n", EMPTY},
        {"lone comma", "components=,\n", EMPTY},
        {"id in capitals", "components=agent,Core\n", EMPTY},
        {"id of 32 characters", "components=agent," + std::string(32, 'x') + "\n", EMPTY},
        {"list of 255", "components=" + comps + "\n", lines(0, "", "", "", "", 0, "", comps)},
        {"list cut to 255", "components=" + comps + "yyyyy,abc\n",
         lines(0, "", "", "", "", 0, "", comps)},
        {"later lines win",
         "installed_version=1.0.0\ninstalled_version=2.0.0\ncomponents=core\ncomponents=agent\n",
         lines(0, "", "2.0.0", "", "", 0, "", "agent")},
        {"an invalid later version is ignored", "installed_version=2.0.0\ninstalled_version=2.0\n",
         lines(0, "", "2.0.0", "", "", 0, "", "")},
        {"an invalid later list empties it", "components=core\ncomponents=Core\n", EMPTY},
        {"unknown lines and other order",
         "# note\ncomponents=core\nfoo=bar\n\nlast_catalog_sequence=2\nlast_sequence=1\n",
         lines(1, "", "", "", "", 2, "", "core")},
    };
    for (auto &c : cases)
        EXPECT_EQ(reread(c.text), c.expected) << c.name;
}

TEST(State, RoundTripOfFullFields)
{
    updater_state st = full_state();
    std::string text = format(st);
    updater_state back;
    state_parse_text(&back, &text[0], text.size());
    EXPECT_EQ(memcmp(&st, &back, sizeof st), 0);
}

TEST(State, EveryValueReadsBackAsWritten)
{
    struct {
        const char *name;
        void (*change)(updater_state *);
        const char *field;  // the field named as faulty, or null
    } cases[] = {
        {"full fields", [](updater_state *) {}, nullptr},
        {"carriage return at the end of a channel",
         [](updater_state *st) { strcpy(st->sequence_channel, "alpha\r"); }, "sequence_channel"},
        {"carriage return inside a channel",
         [](updater_state *st) { strcpy(st->catalog_channel, "al\rpha"); }, nullptr},
        {"line feed in the failed versions",
         [](updater_state *st) { strcpy(st->bad_versions, "1.0.0\nlast_sequence=0"); }, "bad_versions"},
        {"carriage return at the end of the failed versions",
         [](updater_state *st) { strcpy(st->bad_versions, "1.0.0\r"); }, "bad_versions"},
        {"invalid installed version",
         [](updater_state *st) { strcpy(st->installed_version, "2.0.0 "); }, "installed_version"},
        {"invalid previous version", [](updater_state *st) { strcpy(st->previous_version, "v1"); },
         "previous_version"},
        {"component list with a trailing comma",
         [](updater_state *st) { strcpy(st->components, "core,"); }, "components"},
        {"negative catalog sequence", [](updater_state *st) { st->last_catalog_sequence = -1; },
         "last_catalog_sequence"},
        {"negative manifest sequence", [](updater_state *st) { st->last_sequence = -2; },
         "last_sequence"},
    };
    for (auto &c : cases) {
        updater_state st = full_state();
        c.change(&st);
        const char *field = state_unreadable_field(&st);
        EXPECT_STREQ(field, c.field) << c.name;
        // What is not refused reads back the same.
        if (!c.field) {
            EXPECT_EQ(reread(format(st)), format(st)) << c.name;
        }
    }
}

// Whether a component list reads back as it stands, and what of a list that
// does not can be kept: the valid ids, in order, as far as 255 characters.
TEST(State, ComponentListsThatReadBackAndTheirReadablePart)
{
    std::string long_ids = "core";  // core and eleven ids of 24 characters: 279
    for (int i = 0; i < 11; i++)
        long_ids += "," + std::string(24, (char)('a' + i));
    std::string cut = long_ids.substr(0, 255);  // ends in ","
    std::string ten = long_ids.substr(0, 254);
    struct {
        const char *name;
        std::string list;
        int readable;
        std::string clean;  // the readable part
    } cases[] = {
        {"empty", "", 1, ""},
        {"one id", "core", 1, "core"},
        {"255 characters", long_components(), 1, long_components()},
        {"a trailing comma", "core,agent,", 0, "core,agent"},
        {"an empty id", "core,,agent", 0, "core,agent"},
        {"a leading comma", ",core", 0, "core"},
        {"an id in capitals", "core,Agent,restore", 0, "core,restore"},
        {"an id of 32 characters", "core," + std::string(32, 'a'), 0, "core"},
        {"cut at 255 after a comma", cut, 0, ten},
        {"279 characters", long_ids, 0, ten},
        {"only commas", ",,", 0, ""},
    };
    for (auto &c : cases) {
        EXPECT_EQ(state_components_readable(c.list.c_str()), c.readable) << c.name;
        char out[256];
        memset(out, 'x', sizeof out);
        EXPECT_EQ(state_components_clean(out, c.list.c_str()), !c.readable) << c.name;
        EXPECT_EQ(std::string(out), c.clean) << c.name;
        EXPECT_EQ(state_components_readable(out), 1) << c.name;
    }
}
