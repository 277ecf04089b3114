// The second update server of the tests, the one this build's orv_setup.exe
// knows as its built-in server (the URL compiled in names its fixed port). A
// test that includes this header runs while that server does
// (tests/CMakeLists.txt looks for the include); it reaches the server through
// the srv_* routines with SRV_BUILTIN.
#pragma once
#include <string>

#include "update_server.h"

// Makes sure the second server runs, its CA is trusted and the built-in URL
// of this build names its "ca" listener; false with a test failure otherwise.
bool builtin_ready();
// The document path on the second server of rel below the built-in URL
// ("<path of the URL>/" + rel, without a leading "/").
std::string builtin_path(const std::string &rel);
