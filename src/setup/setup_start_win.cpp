// Start-up of a run: updater.conf, the answers file and the command line into
// the setup context, and the error line.
#include "setup_start.h"

#include <stdio.h>
#include <stdlib.h>

#include "console.h"
#include "msg.h"
#include "opt.h"
#include "setup_choice.h"
#include "setup_options.h"
#include "setup_text.h"

int setup_start_settings(setup_context *ctx, int argc, char **argv)
{
    setup_context *scratch = (setup_context *)calloc(1, sizeof *scratch);
    if (!scratch)
        return 1;
    // The scratch context sees the same sources as the real pass, so its
    // config_path already follows "--config" and "--root". Its failures are
    // the real pass's to report.
    setup_options_defaults(scratch);
    char err[SETUP_ERR_SIZE] = "";
    const char *answers = opt_value(argc, argv, "--answers", nullptr, nullptr);
    if (answers)
        setup_read_answers(scratch, answers, err, sizeof err);
    setup_parse_options(scratch, argc, argv, err, sizeof err);

    // The reader keeps the lines before a faulty one; a faulty file must not
    // count at all, so it reads into a copy.
    updater_config copy = ctx->updater_config;
    err[0] = '\0';
    int rc = updconf_read(scratch->config_path, 0, &copy, err, sizeof err);
    if (rc == 0) {
        ctx->updater_config = copy;
    } else {
        msg_localize(err, sizeof err);
        char line[SETUP_WARNING_LINE];
        setup_snprintf(line, sizeof line, "Warnung: %s (die Datei wird nicht benutzt)\n", err);
        console_write(stderr, line);
    }
    free(scratch);
    return rc;
}

int setup_start_choices(setup_context *ctx, int argc, char **argv, char *err, size_t errlen)
{
    // The first failure is the one reported: a failing answers file ends the
    // pass before the command line could put its own message in its place.
    const char *answers = opt_value(argc, argv, "--answers", nullptr, nullptr);
    if (answers && setup_read_answers(ctx, answers, err, errlen) != 0)
        return -1;
    if (setup_parse_options(ctx, argc, argv, err, errlen) < 0)
        return -1;
    return 0;
}

void setup_print_error(const char *text)
{
    char sentence[SETUP_ERROR_TEXT];
    setup_snprintf(sentence, sizeof sentence, "%s", text);
    msg_finish_sentence(sentence, sizeof sentence);
    char line[SETUP_ERROR_LINE];
    setup_snprintf(line, sizeof line, "Fehler: %s\n", sentence);
    console_write(stderr, line);
}

void setup_print_components(setup_context *ctx)
{
    char line[SETUP_TABLE_LINE];
    setup_table_line(line, "KOMPONENTE", "VERFÜGBAR", "STANDARD", "BEZEICHNUNG");
    console_write(stdout, line);
    const component_catalog *cat = &ctx->component_catalog;
    for (size_t i = 0; i < cat->component_count; i++) {
        const catalog_component *c = &cat->components[i];
        setup_table_line(line, c->id, setup_component_available(ctx, i) ? "ja" : "nein",
                         c->is_required ? "immer" : c->is_default ? "ja" : "nein", c->title);
        console_write(stdout, line);
    }
}
