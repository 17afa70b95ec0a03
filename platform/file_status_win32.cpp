#include <io.h>

#include <cerrno>

#include "platform/file_status.h"
#include "platform/unique_handle_win32.h"
#include "platform/win32_status.h"
#include "platform/win32_text.h"

namespace {

// Attribute access only, every sharing mode, and backup semantics so that folders open
// too; without FILE_FLAG_OPEN_REPARSE_POINT, junctions and links are followed.
HANDLE OpenToLook(const std::string& utf8Path) {
  return ::CreateFileW(SystemPath(utf8Path).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool Failed(std::error_code& error) {
  error.assign(static_cast<int>(::GetLastError()), std::system_category());
  return false;
}

}  // namespace

// Windows has no lookup relative to an open folder: every path is looked up whole.
struct CStatusesInFolder::Impl {};

CStatusesInFolder::CStatusesInFolder() : m_impl(std::make_unique<Impl>()) {}
CStatusesInFolder::~CStatusesInFolder() = default;
void CStatusesInFolder::Release() {}

bool CStatusesInFolder::StatusOf(const std::string& utf8Path, FileStatus& status,
                                 std::error_code& error) {
  return ::StatusOf(utf8Path, status, error);
}

bool StatusOf(const std::string& utf8Path, FileStatus& status, std::error_code& error) {
  const CUniqueHandle handle(OpenToLook(utf8Path));
  if (!handle.Valid() || !StatusOfHandle(handle.Get(), status)) return Failed(error);
  return true;
}

bool StatusOfOpen(NativeFile file, FileStatus& status) {
  return StatusOfHandle(static_cast<HANDLE>(file), status);
}

bool KindOf(const std::string& utf8Path, FileStatus::Kind& kind, std::error_code& error) {
  const CUniqueHandle handle(OpenToLook(utf8Path));
  FILE_STANDARD_INFO standard{};
  if (!handle.Valid() ||
      !::GetFileInformationByHandleEx(handle.Get(), FileStandardInfo, &standard, sizeof standard)) {
    return Failed(error);
  }
  kind = standard.Directory                              ? FileStatus::Kind::kFolder
         : ::GetFileType(handle.Get()) == FILE_TYPE_DISK ? FileStatus::Kind::kRegular
                                                         : FileStatus::Kind::kOther;
  return true;
}

bool IsMissing(const std::error_code& error) {
  return error.value() == ERROR_FILE_NOT_FOUND || error.value() == ERROR_PATH_NOT_FOUND;
}

// Windows keeps no execute right on folders: creating in one asks for writing only.
int AccessError(const std::string& utf8Path, Access wanted) {
  return ::_waccess(SystemPath(utf8Path).c_str(), wanted == Access::kRead ? 4 : 2) == 0 ? 0 : errno;
}

std::string ResolvedPath(const std::string& utf8Path) {
  const CUniqueHandle handle(::CreateFileW(SystemPath(utf8Path).c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                           nullptr));
  if (!handle.Valid()) return {};
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFinalPathNameByHandleW(handle.Get(), name.data(),
                                                static_cast<DWORD>(name.size()), VOLUME_NAME_DOS);
    if (n == 0) return {};
    if (n < name.size()) {
      name.resize(n);
      break;
    }
    name.resize(n);
  }
  // "\\?\C:\x" as "C:\x", "\\?\UNC\server\share" as "\\server\share".
  if (name.starts_with(L"\\\\?\\UNC\\")) {
    name = L"\\\\" + name.substr(8);
  } else if (name.starts_with(L"\\\\?\\")) {
    name = name.substr(4);
  }
  return NarrowName(name.c_str());
}
