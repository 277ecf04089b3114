// The stand-in for the setup's built-in update server (a second update
// server, started by a ctest fixture at the built-in URL's loopback port, with
// the first server's certificates). A test that includes this header runs
// while it does, and never beside another such test (tests/CMakeLists.txt
// looks for the include).
#pragma once
#include <string>

// True when the build's built-in server is a loopback address, where the
// stand-in listens; a test that would reach it skips otherwise, since it
// must not look a name up on the network.
bool builtin_on_loopback();
// True when the stand-in runs; false with a test failure otherwise.
bool builtin_ready();
// Serves bytes at rel below the built-in URL ("alpha/components.json"); an
// empty text removes the file, so the server answers 404.
void builtin_put(const std::string &rel, const std::string &bytes);
