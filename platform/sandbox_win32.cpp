#include "platform/sandbox.h"

// The Windows helper runs with the job object's limits (process_win32.cpp) but no token of
// less than the user's yet.
std::string SandboxMissing() { return "Windows: the helper runs with the user's token"; }

Confinement ConfineDecoderHelper(int /*replies*/) { return {false, SandboxMissing()}; }
