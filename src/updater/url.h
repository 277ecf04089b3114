// https:// URLs: splitting one for the HTTPS client, and resolving package
// references and redirect targets against the URL they came from. Only
// "https://" is ever accepted, so no document or server can send the engine to
// plain HTTP, another scheme or an address with user information.
#pragma once
#include <stddef.h>

// Splits url ("https://host[:port][/path][?query][#fragment]") into the host
// (brackets of an IPv6 address removed; at most host_size - 1 bytes), the
// port (443 when none is given; otherwise 1 to 65535, digits only) and the
// request path (at least "/", query kept, fragment dropped; at most
// path_size - 1 bytes). Returns 0, or -1 when the URL is refused; the output
// buffers may then hold partial text.
int url_split_https(const char *url, char *host, size_t host_size, int *port, char *path,
                    size_t path_size);
// Resolves a package reference against the URL of the document that names
// it: an "https://" reference is taken whole, a relative one is appended to
// the base's directory exactly as written (no "." or ".." removal, no
// decoding). Other schemes and references starting with "/" are refused.
// Returns 0 with the URL in out, or -1 (also when it does not fit out_size).
int url_resolve_relative(const char *base, const char *ref, char *out, size_t out_size);
// Resolves a redirect target against the redirected URL: an absolute path
// ("/x", not "//x") keeps the base's scheme, host and port; anything else is
// resolved as url_resolve_relative. Returns 0 with the URL in out, or -1.
int url_resolve(const char *base, const char *target, char *out, size_t out_size);
