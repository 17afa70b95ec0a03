#include "platform/file_status.h"
#include "platform/unique_handle_win32.h"
#include "platform/win32_status.h"
#include "platform/win32_text.h"

bool StatusOf(const std::string& utf8Path, FileStatus& status, std::error_code& error) {
  // Attribute access only, every sharing mode, and backup semantics so that folders open
  // too; without FILE_FLAG_OPEN_REPARSE_POINT, junctions and links are followed.
  const CUniqueHandle handle(::CreateFileW(WidePath(utf8Path).c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                           nullptr));
  if (!handle.Valid() || !StatusOfHandle(handle.Get(), status)) {
    error.assign(static_cast<int>(::GetLastError()), std::system_category());
    return false;
  }
  return true;
}
