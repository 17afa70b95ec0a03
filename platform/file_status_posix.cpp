#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/file_status.h"
#include "platform/posix_status.h"

bool StatusOf(const std::string& utf8Path, FileStatus& status, std::error_code& error) {
  struct stat st {};
  if (::stat(utf8Path.c_str(), &st) != 0) {
    error.assign(errno, std::generic_category());
    return false;
  }
  status = FromStat(st);
  return true;
}

struct CStatusesInFolder::Impl {
  std::string folder;
  int fd = -1;
};

CStatusesInFolder::CStatusesInFolder() : m_impl(std::make_unique<Impl>()) {}
CStatusesInFolder::~CStatusesInFolder() { Release(); }

void CStatusesInFolder::Release() {
  if (m_impl->fd >= 0) ::close(m_impl->fd);
  m_impl->fd = -1;
  m_impl->folder.clear();
}

bool CStatusesInFolder::StatusOf(const std::string& utf8Path, FileStatus& status,
                                 std::error_code& error) {
  const std::size_t slash = utf8Path.rfind('/');
  // stat takes a path of up to PATH_MAX bytes; a name looked up in its folder would take
  // a longer one, and a file the rest of the run cannot open would seem to be there.
  if (slash == std::string::npos || slash + 1 == utf8Path.size() || utf8Path.size() >= PATH_MAX) {
    return ::StatusOf(utf8Path, status, error);
  }
  const std::string_view folder(utf8Path.data(), slash == 0 ? 1 : slash);
  Impl& held = *m_impl;
  if (held.fd < 0 || held.folder != folder) {
    Release();
    held.folder.assign(folder);
    // O_PATH: only a place to look up names from, which needs no right to read the folder.
    held.fd = ::open(held.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    // The whole path then says why (or finds what the folder's name did not).
    if (held.fd < 0) return ::StatusOf(utf8Path, status, error);
  }
  struct stat st {};
  if (::fstatat(held.fd, utf8Path.c_str() + slash + 1, &st, 0) != 0) {
    error.assign(errno, std::generic_category());
    return false;
  }
  status = FromStat(st);
  return true;
}

bool StatusOfOpen(NativeFile file, FileStatus& status) {
  struct stat st {};
  if (::fstat(file, &st) != 0) return false;
  status = FromStat(st);
  return true;
}

bool KindOf(const std::string& utf8Path, FileStatus::Kind& kind, std::error_code& error) {
  FileStatus status;
  if (!StatusOf(utf8Path, status, error)) return false;
  kind = status.kind;
  return true;
}

bool IsMissing(const std::error_code& error) {
  return error.value() == ENOENT || error.value() == ENOTDIR;
}

int AccessError(const std::string& utf8Path, Access wanted) {
  return ::access(utf8Path.c_str(), wanted == Access::kRead ? R_OK : W_OK | X_OK) == 0 ? 0 : errno;
}

std::string ResolvedPath(const std::string& utf8Path) {
  char* resolved = ::realpath(utf8Path.c_str(), nullptr);
  std::string path = resolved != nullptr ? resolved : std::string();
  std::free(resolved);
  return path;
}
