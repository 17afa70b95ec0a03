#pragma once

// For the Win32 sources only.

#include <windows.h>

#include <cerrno>
#include <cstdint>

#include "platform/file_status.h"

// The errno that says what a Win32 error says, for the engine's messages.
inline int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT: return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_BAD_EXE_FORMAT: return ENOEXEC;
    default: return EIO;
  }
}

// FILETIME-like counts of 100 ns since 1601-01-01 to ns since 1970-01-01, INT64_MIN when
// that does not fit.
inline int64_t UnixNs(int64_t ticks1601) {
  constexpr int64_t kTicksTo1970 = 116444736000000000;
  int64_t ns = 0;
  if (__builtin_mul_overflow(ticks1601 - kTicksTo1970, int64_t{100}, &ns)) return INT64_MIN;
  return ns;
}

// The status of an open handle; false with GetLastError's reason.
inline bool StatusOfHandle(HANDLE handle, FileStatus& status) {
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandle(handle, &info) ||
      !::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.kind = folder                                    ? FileStatus::Kind::kFolder
                : ::GetFileType(handle) == FILE_TYPE_DISK ? FileStatus::Kind::kRegular
                                                          : FileStatus::Kind::kOther;
  status.device = info.dwVolumeSerialNumber;
  status.index = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  status.size = static_cast<int64_t>(uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
  status.modifiedNs = UnixNs(basic.LastWriteTime.QuadPart);
  status.changedNs = UnixNs(basic.ChangeTime.QuadPart);
  return true;
}
