#include <sys/stat.h>

#include <cerrno>

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
