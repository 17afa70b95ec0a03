#include <windows.h>
#include <winioctl.h>

#include "platform/read_file.h"
#include "platform/win32_status.h"
#include "platform/win32_text.h"

int64_t ReadAt(NativeFile file, void* buffer, std::size_t n, int64_t offset) {
  // One ReadFile takes at most 4 GiB - 1; callers ask for far less.
  const DWORD ask = n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(n);
  // Placed, then read without an OVERLAPPED: Wine answers a ReadFile given one with a call
  // to its server (to queue a completion that nothing waits for) on every read, which cost
  // more than the decoding of what was read.
  LARGE_INTEGER at{};
  at.QuadPart = offset;
  if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return -1;
  DWORD got = 0;
  if (!::ReadFile(file, buffer, ask, &got, nullptr)) {
    return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return got;
}

int64_t NextDataAt(NativeFile file, int64_t from, int64_t end) {
  if (from >= end) return end;
  FILE_ALLOCATED_RANGE_BUFFER query{};
  query.FileOffset.QuadPart = from;
  query.Length.QuadPart = end - from;
  FILE_ALLOCATED_RANGE_BUFFER first{};
  DWORD bytes = 0;
  // One range is enough: only where the first one begins matters. ERROR_MORE_DATA says
  // more ranges follow it.
  if (!::DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &first,
                         sizeof first, &bytes, nullptr) &&
      ::GetLastError() != ERROR_MORE_DATA) {
    return from;
  }
  if (bytes < sizeof first) return end;
  return first.FileOffset.QuadPart > from ? first.FileOffset.QuadPart : from;
}

CReadFile::~CReadFile() { Close(); }

std::error_code CReadFile::OpenRegular(const std::string& utf8Path) {
  Close();
  const std::wstring path = SystemPath(utf8Path);
  // Longer than any path Windows holds, "\\?\" or not: the path's fault, said as such
  // (Windows itself answers with one code or another, by version).
  if (path.size() > kLongestSystemPath) return std::make_error_code(std::errc::filename_too_long);
  // Others may go on reading, writing, renaming and deleting the file while it is tested,
  // as they may on POSIX.
  const HANDLE handle = ::CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {ErrnoOf(::GetLastError()), std::generic_category()};
  // Kind and size only, as StatusOfHandle tells them: the volume's serial number, which it
  // asks for too, costs Wine a round trip through its mount manager's process.
  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
      standard.Directory || ::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    return FileError::kNotRegular;
  }
  m_file = handle;
  m_size = standard.EndOfFile.QuadPart;
  return {};
}

// The Windows helper opens its files by path: nothing is handed over.
int32_t CReadFile::OpenToHandOver(const std::string& /*utf8Path*/) {
  Close();
  return kFileOpenByPath;
}

void CReadFile::HandedOver(const std::string& /*utf8Path*/, NativeFile file, int32_t /*opened*/) {
  if (file != kNone) ::CloseHandle(file);
}

void CReadFile::Close() {
  if (m_file != kNone) ::CloseHandle(m_file);
  m_file = kNone;
  m_size = 0;
}

bool CReadFile::IsOpen() const { return m_file != kNone; }
