// The plain text work of the console link: the token's name, the hand-over
// file's text and the quoting of a failed command's output.
#include "setup_link.h"

#include <string.h>

#include "setup_text.h"
#include "text.h"

static const char token_prefix[] = "konsole-";
static const char secret_phrase[] = "keep it secret): ";

// 1 for the characters a token name keeps as they are.
static int token_char(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

char *link_token_name(const char *user, char out[LINK_TOKEN_NAME_MAX])
{
    const size_t prefix = sizeof token_prefix - 1;
    memcpy(out, token_prefix, prefix);
    size_t n = prefix;
    for (const unsigned char *p = (const unsigned char *)user; *p && n < LINK_TOKEN_NAME_MAX - 1; p++) {
        if (token_char(*p))
            out[n++] = (char)*p;
        else if ((*p & 0xC0) == 0x80)
            continue;  // the lead byte of this character gave its "-" already
        else if (n > prefix && out[n - 1] != '-')
            out[n++] = '-';
    }
    while (n > prefix && out[n - 1] == '-')
        n--;
    if (n == prefix)
        n = prefix - 1;  // nothing of the name is left: "konsole"
    out[n] = '\0';
    return out;
}

int link_handover_text(char *buf, size_t size, const char *full_name, const char *port,
                       const char *fingerprint, const char *token_name, const char *secret)
{
    return setup_snprintf(
        buf, size,
        "# orvantis Setup: Verbindung der Verwaltungskonsole mit dem Job-Planer dieses "
        "Computers für %s.\r\n"
        "# Die Konsole übernimmt sie beim nächsten Start (das Token dann verschlüsselt) und "
        "löscht diese Datei.\r\n"
        "url=localhost:%s\r\n"
        "fingerprint=%s\r\n"
        "token-name=%s\r\n"
        "secret=%s\r\n",
        full_name, port, fingerprint, token_name, secret);
}

char *link_quote_output(char *text)
{
    // A scheduler that printed the new token and still failed must not get
    // its secret into the report or the log.
    for (char *at = strstr(text, secret_phrase); at; at = strstr(at, secret_phrase)) {
        at += sizeof secret_phrase - 1;
        size_t rest = strcspn(at, "\r\n");
        memset(at, 0, rest);
        memmove(at, at + rest, strlen(at + rest) + 1);
    }
    size_t len = 0;
    for (char *p = text; *p; p++, len++)
        if (*p == '\r' || *p == '\n')
            *p = ' ';
    if (len > LINK_QUOTE_MAX)
        text[text_utf8_whole(text, LINK_QUOTE_MAX)] = '\0';
    return text;
}
