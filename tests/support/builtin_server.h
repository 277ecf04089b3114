// The stand-in for the setup's built-in update server: a second update server
// that a ctest fixture starts at the loopback port the URL compiled into this
// test build names, with the first server's certificates. A test that
// includes this header runs while it does, and never beside another such test
// (tests/CMakeLists.txt looks for the include); besides these routines it
// reaches the server through the srv_* routines with SRV_BUILTIN.
#pragma once
#include <string>

#include "update_server.h"

// True when the build's built-in server is a loopback address, where the
// stand-in listens (every test build).
bool builtin_on_loopback();
// Makes sure the stand-in runs, its CA is trusted and the built-in URL names
// its "ca" listener; false with a test failure otherwise.
bool builtin_ready();
// The document path on the stand-in of rel below the built-in URL ("<path of
// the URL>/" + rel, without a leading "/").
std::string builtin_path(const std::string &rel);
// Serves bytes at rel below the built-in URL ("alpha/components.json"); an
// empty text removes the file, so the server answers 404.
void builtin_put(const std::string &rel, const std::string &bytes);
