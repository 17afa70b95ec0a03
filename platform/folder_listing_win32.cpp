#include <windows.h>

#include "platform/folder_listing.h"
#include "platform/win32_text.h"

struct CFolderListing::Impl {
  HANDLE find = INVALID_HANDLE_VALUE;
  std::string folder;
  WIN32_FIND_DATAW data{};
  // The entry FindFirstFileExW gave, not yet handed out.
  bool pending = false;
  ~Impl() {
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
  }
};

CFolderListing::CFolderListing() : m_impl(std::make_unique<Impl>()) {}
CFolderListing::~CFolderListing() = default;

bool CFolderListing::Open(const std::string& utf8Path, FileStatus& folder, std::error_code& error) {
  m_impl = std::make_unique<Impl>();
  if (!StatusOf(utf8Path, folder, error)) return false;
  if (folder.kind != FileStatus::Kind::kFolder) {
    error.assign(ERROR_DIRECTORY, std::system_category());
    return false;
  }
  std::string pattern = utf8Path;
  if (pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  // Basic information (no short names) and large fetches: listings of big folders cost
  // fewer calls into the file system.
  m_impl->find = ::FindFirstFileExW(SystemPath(pattern).c_str(), FindExInfoBasic, &m_impl->data,
                                    FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (m_impl->find == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    // An empty folder (a drive's root has no "." or "..") lists nothing, without fault.
    if (code == ERROR_FILE_NOT_FOUND) return true;
    error.assign(static_cast<int>(code), std::system_category());
    return false;
  }
  m_impl->folder = utf8Path;
  m_impl->pending = true;
  return true;
}

bool CFolderListing::Next(Entry& entry, std::error_code& error) {
  if (m_impl->find == INVALID_HANDLE_VALUE) return false;
  for (;;) {
    if (!m_impl->pending && !::FindNextFileW(m_impl->find, &m_impl->data)) {
      const DWORD code = ::GetLastError();
      if (code != ERROR_NO_MORE_FILES) error.assign(static_cast<int>(code), std::system_category());
      return false;
    }
    m_impl->pending = false;
    const WIN32_FIND_DATAW& d = m_impl->data;
    const std::wstring_view name = d.cFileName;
    if (name == L"." || name == L"..") continue;
    entry.name = NarrowName(d.cFileName);
    entry.isFolder = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      // A junction or link counts as what it leads to, as on POSIX; a broken one (or a
      // link to a file) is a file by its name.
      FileStatus target;
      std::error_code ignored;
      std::string full = m_impl->folder;
      if (full.back() != '\\' && full.back() != '/') full += '\\';
      full += entry.name;
      entry.isFolder = StatusOf(full, target, ignored) && target.kind == FileStatus::Kind::kFolder;
    }
    return true;
  }
}
