#pragma once

#include <string>
#include <string_view>
#include <system_error>

// "1m 05s": whole seconds, truncated toward zero; minutes are not folded into hours.
std::string FormatPosition(double seconds);

// "OV_HOLE @ 1m 05s": a fault's name and the play time where it struck, as every check
// and the report write it.
std::string FaultText(std::string_view name, double seconds);

// The reason of a file that could not be opened for reading at all: it says nothing of
// the file's bytes.
inline constexpr char kOpenFileReason[] = "OPENFILE";
// The reason for a file that did not open, from why it did not: a path the system cannot
// take whole (ENAMETOOLONG) says so, a fault of the path and not of any file's bytes; every
// other refusal is kOpenFileReason alone.
std::string OpenFileReasonOf(const std::error_code& error);
// The reason is an open failure's, of either kind.
bool IsOpenFileReason(std::string_view reason);
