#pragma once

#include <string>

// "1m 05s": whole seconds, truncated toward zero; minutes are not folded into hours.
std::string FormatPosition(double seconds);
