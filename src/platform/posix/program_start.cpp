// Linked into the program only, not into the tests that use the layer: the
// process is prepared before main runs, before anything can open a file or
// touch the console.
#include "platform/posix/handles.h"

namespace {

[[gnu::constructor]] void StartProgram() { ConsoleProcessStart(); }

}  // namespace
