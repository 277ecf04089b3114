// The XML text of the scheduled tasks.
#include "task.h"

#include <stdarg.h>
#include <string.h>

// The start of every task document: the declaration and the root element
// in the namespace of Windows task definitions.
#define TASK_XML_HEAD                                         \
    "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"         \
    "<Task version=\"1.2\" "                                  \
    "xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"

// LocalSystem with the highest run level, for every task.
#define TASK_XML_PRINCIPALS                                                        \
    "  <Principals><Principal id=\"Author\"><UserId>S-1-5-18</UserId>"            \
    "<RunLevel>HighestAvailable</RunLevel></Principal></Principals>\r\n"

// Not started twice at once, also on battery power, started late when its
// time was missed.
#define TASK_XML_SETTINGS                                                              \
    "  <Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"         \
    "<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\r\n"               \
    "    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>"                       \
    "<StartWhenAvailable>true</StartWhenAvailable>\r\n"

#define TASK_XML_ACTION                                                   \
    "  <Actions Context=\"Author\"><Exec><Command>%s</Command>"           \
    "<Arguments>%s</Arguments></Exec></Actions>\r\n"                      \
    "</Task>\r\n"

// Daily at 03:00 local time with up to an hour's random delay, stopped
// after 2 hours.
#define UPDATER_XML \
    TASK_XML_HEAD \
    "  <RegistrationInfo><Description>Sucht nach signierten Updates der " \
    "Sicherungsprogramme von orvantis und installiert sie.</Description>" \
    "</RegistrationInfo>\r\n" \
    "  <Triggers><CalendarTrigger><StartBoundary>2026-01-01T03:00:00</StartBoundary>" \
    "<Enabled>true</Enabled>\r\n" \
    "    <RandomDelay>PT1H</RandomDelay><ScheduleByDay><DaysInterval>1</DaysInterval>" \
    "</ScheduleByDay></CalendarTrigger></Triggers>\r\n" \
    TASK_XML_PRINCIPALS \
    TASK_XML_SETTINGS \
    "    <ExecutionTimeLimit>PT2H</ExecutionTimeLimit><Enabled>true</Enabled></Settings>\r\n" \
    TASK_XML_ACTION

// Once after every boot, with no time limit (PT0S).
#define BOOT_XML \
    TASK_XML_HEAD \
    "  <RegistrationInfo><Description>%s</Description></RegistrationInfo>\r\n" \
    "  <Triggers><BootTrigger><Delay>PT%uM</Delay><Enabled>true</Enabled>" \
    "</BootTrigger></Triggers>\r\n" \
    TASK_XML_PRINCIPALS \
    TASK_XML_SETTINGS \
    "    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit><Enabled>true</Enabled></Settings>\r\n" \
    TASK_XML_ACTION

int task_format(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

void task_xml_escape(const char *value, char *out, size_t size)
{
    size_t n = 0;
    for (const char *s = value ? value : ""; *s && n <= size - 8; s++) {
        const char *entity = NULL;
        switch (*s) {
        case '"': entity = "&quot;"; break;
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        default: break;
        }
        if (entity) {
            size_t len = strlen(entity);
            memcpy(out + n, entity, len);
            n += len;
        } else {
            out[n++] = *s;
        }
    }
    out[n] = '\0';
}

int task_xml_updater(const char *exe, const char *config, char *xml, size_t size)
{
    char path[TASK_PATH_FIELD], args[TASK_ARGS_FIELD];
    task_xml_escape(exe, path, sizeof path);
    if (config && *config) {
        char conf[TASK_PATH_FIELD];
        task_xml_escape(config, conf, sizeof conf);
        // In the registered task the path stands between double quotes.
        task_format(args, sizeof args, "--config &quot;%s&quot; --update", conf);
    } else {
        task_format(args, sizeof args, "--update");
    }
    return task_format(xml, size, UPDATER_XML, path, args);
}

int task_xml_boot(const char *description, int delay_minutes, const char *command,
                  const char *arguments, char *xml, size_t size)
{
    char desc[TASK_DESC_FIELD], path[TASK_PATH_FIELD], args[TASK_ARGS_FIELD];
    task_xml_escape(description, desc, sizeof desc);
    task_xml_escape(command, path, sizeof path);
    task_xml_escape(arguments, args, sizeof args);
    return task_format(xml, size, BOOT_XML, desc, (unsigned)delay_minutes, path, args);
}

int task_temp_name(char *out, size_t size, unsigned long pid, uint64_t counter)
{
    return task_format(out, size, "orvantis-task-%lu-%08x%08x.xml", pid,
                       (unsigned)(counter >> 32), (unsigned)(counter & 0xffffffffu));
}
