// The XML text of the scheduled tasks: the exact documents, escaping and the
// silent cuts of over-long values.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "task.h"

namespace {

const char HEAD[] =
    "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
    "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n";
const char PRINCIPALS_SETTINGS[] =
    "  <Principals><Principal id=\"Author\"><UserId>S-1-5-18</UserId><RunLevel>HighestAvailable"
    "</RunLevel></Principal></Principals>\r\n"
    "  <Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"
    "<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\r\n"
    "    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries><StartWhenAvailable>true"
    "</StartWhenAvailable>\r\n";

std::string action(const std::string &command, const std::string &arguments)
{
    return "  <Actions Context=\"Author\"><Exec><Command>" + command + "</Command><Arguments>" +
           arguments + "</Arguments></Exec></Actions>\r\n</Task>\r\n";
}

std::string updater_doc(const std::string &command, const std::string &arguments)
{
    return std::string(HEAD) +
           "  <RegistrationInfo><Description>Sucht nach signierten Updates der Sicherungsprogramme "
           "von orvantis und installiert sie.</Description></RegistrationInfo>\r\n"
           "  <Triggers><CalendarTrigger><StartBoundary>2026-01-01T03:00:00</StartBoundary>"
           "<Enabled>true</Enabled>\r\n"
           "    <RandomDelay>PT1H</RandomDelay><ScheduleByDay><DaysInterval>1</DaysInterval>"
           "</ScheduleByDay></CalendarTrigger></Triggers>\r\n" +
           PRINCIPALS_SETTINGS +
           "    <ExecutionTimeLimit>PT2H</ExecutionTimeLimit><Enabled>true</Enabled></Settings>\r\n" +
           action(command, arguments);
}

std::string updater_xml(const char *exe, const char *config)
{
    char xml[TASK_XML_MAX];
    int n = task_xml_updater(exe, config, xml, sizeof xml);
    EXPECT_EQ((size_t)n, strlen(xml));
    return xml;
}

std::string escaped(const std::string &value, size_t size)
{
    std::string out(size, '\x7f');
    task_xml_escape(value.c_str(), &out[0], size);
    return out.c_str();
}

}  // namespace

TEST(TaskXml, DailyTaskDocument)
{
    struct {
        const char *name;
        const char *exe;
        const char *config;
        std::string expected;
    } cases[] = {
        {"with settings file", "C:\\Program Files\\orvantis\\bin\\orv_updater.exe",
         "C:\\ProgramData\\orvantis\\updater.conf",
         updater_doc("C:\\Program Files\\orvantis\\bin\\orv_updater.exe",
                     "--config &quot;C:\\ProgramData\\orvantis\\updater.conf&quot; --update")},
        {"null settings file", "C:\\o\\orv_updater.exe", nullptr,
         updater_doc("C:\\o\\orv_updater.exe", "--update")},
        {"empty settings file", "C:\\o\\orv_updater.exe", "", updater_doc("C:\\o\\orv_updater.exe", "--update")},
        {"ampersands", "C:\\R&D\\orv_updater.exe", "C:\\R&D\\u.conf",
         updater_doc("C:\\R&amp;D\\orv_updater.exe", "--config &quot;C:\\R&amp;D\\u.conf&quot; --update")},
    };
    for (const auto &c : cases)
        EXPECT_EQ(updater_xml(c.exe, c.config), c.expected) << c.name;
}

TEST(TaskXml, BootTaskDocument)
{
    char xml[TASK_XML_MAX];
    int n = task_xml_boot("Setzt <Sicherungen> fort", 2, "C:\\o\\bin\\orv_agent.exe",
                          "--resume-pending \"x\"", xml, sizeof xml);
    std::string expected =
        std::string(HEAD) +
        "  <RegistrationInfo><Description>Setzt &lt;Sicherungen&gt; fort</Description>"
        "</RegistrationInfo>\r\n"
        "  <Triggers><BootTrigger><Delay>PT2M</Delay><Enabled>true</Enabled></BootTrigger>"
        "</Triggers>\r\n" +
        PRINCIPALS_SETTINGS +
        "    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit><Enabled>true</Enabled></Settings>\r\n" +
        action("C:\\o\\bin\\orv_agent.exe", "--resume-pending &quot;x&quot;");
    EXPECT_EQ(std::string(xml), expected);
    EXPECT_EQ((size_t)n, expected.size());
}

TEST(TaskXml, Escaping)
{
    struct {
        const char *name;
        std::string value;
        size_t size;
        std::string expected;
    } cases[] = {
        {"every entity", "a\"b&c<d>e'f", 100, "a&quot;b&amp;c&lt;d&gt;e'f"},
        {"empty", "", 100, ""},
        {"bytes above 127 stay", "M\xfc" "ller", 100, "M\xfc" "ller"},
        // 1300 plain characters in a 1200-byte field: the first 1193.
        {"long path", std::string(1300, 'p'), 1200, std::string(1193, 'p')},
        {"exactly at the limit", std::string(1193, 'p'), 1200, std::string(1193, 'p')},
        // An entity is taken whole as the last character, never split.
        {"entity at the limit", std::string(1192, 'p') + "\"tail", 1200,
         std::string(1192, 'p') + "&quot;"},
        {"entity past the limit", std::string(1193, 'p') + "\"", 1200, std::string(1193, 'p')},
    };
    for (const auto &c : cases)
        EXPECT_EQ(escaped(c.value, c.size), c.expected) << c.name;
    char out[16] = "junk";
    task_xml_escape(nullptr, out, sizeof out);
    EXPECT_STREQ(out, "");
}

TEST(TaskXml, LongProgramPathIsCut)
{
    std::string xml = updater_xml(std::string(1300, 'p').c_str(), nullptr);
    EXPECT_NE(xml.find("<Command>" + std::string(1193, 'p') + "</Command>"), std::string::npos);
}

TEST(TaskXml, TempName)
{
    char name[TASK_TEMP_NAME];
    int n = task_temp_name(name, sizeof name, 4242ul, 0x0000001200abcdefULL);
    EXPECT_STREQ(name, "orvantis-task-4242-0000001200abcdef.xml");
    EXPECT_EQ((size_t)n, strlen(name));
    task_temp_name(name, sizeof name, 4294967295ul, 0xffffffffffffffffULL);
    EXPECT_STREQ(name, "orvantis-task-4294967295-ffffffffffffffff.xml");
}
