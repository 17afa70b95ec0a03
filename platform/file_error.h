#pragma once

#include <system_error>

// A failure that crosses a layer is a std::error_code: the system's own code (an errno, in
// the generic category, on either system), or one of these, which no system has.
enum class FileError {
  kNotRegular = 1,  // the path names a folder, a FIFO, a device: anything but a file
};
std::error_code make_error_code(FileError error);
template <>
struct std::is_error_code_enum<FileError> : std::true_type {};
