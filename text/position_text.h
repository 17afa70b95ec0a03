#pragma once

#include <string>
#include <string_view>

// "1m 05s": whole seconds, truncated toward zero; minutes are not folded into hours.
std::string FormatPosition(double seconds);

// "OV_HOLE @ 1m 05s": a fault's name and the play time where it struck, as every check
// and the report write it.
std::string FaultText(std::string_view name, double seconds);

// The reason of a file that could not be opened for reading at all: it says nothing of
// the file's bytes.
inline constexpr char kOpenFileReason[] = "OPENFILE";
