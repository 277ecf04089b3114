// The tests' update server (update_server.py, started by a ctest fixture),
// seen from a Windows test: where it listens, how to put documents and fault
// modes in place, and what it was asked. A test that includes this header runs
// while the server does (tests/CMakeLists.txt looks for the include).
#pragma once
#include <string>
#include <vector>

// One line of the server's request log ("-" for a header that was missing).
struct srv_request {
    std::string listener;        // "ca", "self", "expired", "other", "clientcert", "proxy"
    std::string method;          // "GET", "POST", "CONNECT", or "TLS-FAIL" for a failed handshake
    std::string path;            // the request target as sent, query included
    std::string range;           // the Range header
    std::string accept_encoding; // the Accept-Encoding header
    std::string user_agent;      // the User-Agent header
    std::string content_type;    // the Content-Type header
    long body_len = 0;           // bytes of the request body
};

// The fixture's servers: the main one, on free ports, and a second one whose
// "ca" listener has the fixed port of this build's built-in update server
// (for tests that include "builtin_server.h"). Each has its own certificates,
// documents, fault files and request log.
enum srv_which { SRV_MAIN, SRV_BUILTIN };

// Makes sure the server is there and its test CA is in the machine's Root
// store (once per process); false with a test failure when it is not.
bool srv_ready(srv_which which = SRV_MAIN);
// Port of a listener; 0 when the server did not name it.
int srv_port(const std::string &listener, srv_which which = SRV_MAIN);
// "https://localhost:<port of listener>/" + path.
std::string srv_url(const std::string &listener, const std::string &path,
                    srv_which which = SRV_MAIN);
// A path prefix of this test's own, "<suite>.<test>/", so that documents,
// fault files and log lines of one test never meet those of another.
std::string srv_case(const std::string &name);
// Serves bytes at path (below the document tree; directories are made).
void srv_put(const std::string &path, const std::string &bytes, srv_which which = SRV_MAIN);
// Sets the fault modes of path: lines "key value" as update_server.py reads
// them; an empty text removes them.
void srv_fault(const std::string &path, const std::string &lines, srv_which which = SRV_MAIN);
// The log lines since this test program first asked for the server whose
// path (without its query) is "/" + path, oldest first; every such line for
// an empty path.
std::vector<srv_request> srv_requests(const std::string &path, srv_which which = SRV_MAIN);
// Windows path of a file the fixture made in the certificate directory
// ("ca.pem", "srv.pem", "client.key", ...).
std::string srv_cert(const std::string &file, srv_which which = SRV_MAIN);
