#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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
