// The client connection to a backup server: the checks of the given server
// address and directory, the name of a further server's certificate file and
// the summary of the restore program's answer are plain text work
// (setup_client.cpp); storing the files and the connection test live in
// setup_client_win.cpp.
#pragma once
#include <stddef.h>

#include "setup_context.h"

enum {
    CLIENT_CERT_MAX = 8191,   // bytes of a certificate file taken
    CLIENT_KEY_SIZE = 512,    // the API key, its NUL included
    CLIENT_OUTPUT = 1024,     // the restore program's output, and its summary
    CLIENT_HOST_MAX = 127,    // characters of the server address a file name is made of
};

// 1 when server has the form host:port: a last ":" that is not its first
// character, followed only by one or more decimal digits, and before it only
// letters, digits and "-", ".", ":", "[", "]", "_". Else 0.
int client_server_ok(const char *server);
// 1 when dir is 1 to 63 characters of letters, digits, "_", "-" and ".".
int client_dir_ok(const char *dir);
// The server's part of a further certificate's name into out (size bytes):
// server cut to 127 characters, then at its last ":", with every character
// other than a letter, a digit, "-" and "." made "_". Returns out.
char *client_cert_host(const char *server, char *out, size_t size);
// Cuts blanks, tabs, CR and LF at the end of key, in place.
void client_trim_key(char *key);
// The gist of the restore program's output into out (size bytes): its lines
// (split at runs of CR and LF), of a log line only its message, joined by
// "; ", cut at the buffer's end.
void client_summary(const char *output, char *out, size_t size);

// Windows (setup_client_win.cpp): checks the client settings of ctx, stores
// the server's certificate and the API key in the data directory, tests the
// connection with the installed restore program and reports examples. 0
// (also when the test failed: that is a warning in the report), or -1 with a
// German sentence in msg.
int setup_client_connect(setup_context *ctx, char *msg, size_t msglen);
